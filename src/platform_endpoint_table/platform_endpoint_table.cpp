// zentra_lumara_gov.tools.utils.platform_endpoint_table
//
// Which data-platform API addresses are accepted, and the token service that
// issues tokens for each, built once when the module is loaded:
//
//   PROD_PLATFORM_URL       the six production APIs -> production tokens
//   NON_PROD_PLATFORM_URL   the four test and development APIs
//   ALLOWED_PLATFORM_URL    a new mapping: production, then non-production
//
// The token services are the two the regional endpoint table names for the
// public cloud (one shared definition in endpoint_table/hosts.h).
#include "common/zlg.h"
#include "endpoint_table/hosts.h"

#include <Python.h>

#include <utility>

namespace nb = nanobind;
using namespace zlg::hosts;

namespace {

// Addresses interned like the regional table's, so both hold the same text
// objects.
nb::dict mapping(std::initializer_list<std::pair<const char *, const char *>> entries) {
  nb::dict result;
  for (const auto &[platform, token_service] : entries) {
    result[zlg::intern(platform)] = zlg::intern(token_service);
  }
  return result;
}

}  // namespace

NB_MODULE(platform_endpoint_table, m) {
  m.doc() = "Platform endpoint table: the accepted data-platform addresses (production and test) and the token service of each.";
  nb::dict prod = mapping({
      {kDataAiAuSyd, kProdTokenService},
      {kDataAiCaTor, kProdTokenService},
      {kDataPlatformEuDe, kProdTokenService},
      {kDataPlatformUsSouth, kProdTokenService},
      {kDataPlatformJpTok, kProdTokenService},
      {kDataPlatformEuGb, kProdTokenService},
  });
  // Test instances authenticate against production, development instances
  // against the test token service.
  nb::dict non_prod = mapping({
      {kDataPlatformTest, kProdTokenService},
      {kDataAiTest, kProdTokenService},
      {kDataPlatformDev, kTestTokenService},
      {kDataAiDev, kTestTokenService},
  });
  // A copy of the production mapping updated with the non-production one, so
  // changing it changes neither source.
  nb::dict allowed = nb::borrow<nb::dict>(prod.attr("copy")());
  allowed.attr("update")(non_prod);

  m.attr("PROD_PLATFORM_URL") = prod;
  m.attr("NON_PROD_PLATFORM_URL") = non_prod;
  m.attr("ALLOWED_PLATFORM_URL") = allowed;
}
