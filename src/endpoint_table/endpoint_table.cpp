// zentra_lumara_gov.utils.endpoint_table
//
// The service endpoints of every region and deployment environment of the
// hosted governance platform, built once when the module is loaded:
//
//   LmUrls               the record of one deployment (pydantic model)
//   LUMARA_REGION_URLS   region or environment key -> LmUrls, 13 rows
//   CLV_ENDPOINT_TABLE   monitoring-service address -> the same LmUrls
//
// A caller that knows only the monitoring-service address of its credentials
// finds the other endpoints of that deployment (above all the ML service)
// through CLV_ENDPOINT_TABLE.get(url).
#include "common/zlg.h"
#include "endpoint_table/hosts.h"

#include <Python.h>

#include <array>

namespace nb = nanobind;
using namespace zlg::hosts;

namespace {

constexpr const char *kModuleName = "zentra_lumara_gov.utils.endpoint_table";

// One row of LUMARA_REGION_URLS. A row is keyed either by a member of the
// outside Region enumeration (through its value) or by an environment name.
struct Row {
  const char *region_member;  // name of the Region member, or nullptr
  const char *environment;    // the key text when region_member is nullptr
  const char *iam_url;
  const char *lmg_url;
  const char *vml_url;
  const char *dai_url;
};

// In table order. Rows 1-7 and 10 share the production token service, rows 8
// and 9 the test one; rows 1, 7 and 8 use the US South data-platform API and
// its test and development instances.
constexpr std::array<Row, 13> kRows{{
    // public cloud, production
    {"US_SOUTH", nullptr, kProdTokenService, kMonitoringUsSouth, kMlUsSouth, kDataPlatformUsSouth},
    {"AU_SYD", nullptr, kProdTokenService, kMonitoringAuSyd, kMlAuSyd, kDataAiAuSyd},
    {"CA_TOR", nullptr, kProdTokenService, kMonitoringCaTor, kMlCaTor, kDataAiCaTor},
    {"EU_DE", nullptr, kProdTokenService, kMonitoringEuDe, kMlEuDe, kDataPlatformEuDe},
    {"JP_TOK", nullptr, kProdTokenService, kMonitoringJpTok, kMlJpTok, kDataPlatformJpTok},
    {"EU_GB", nullptr, kProdTokenService, kMonitoringEuGb, kMlEuGb, kDataPlatformEuGb},
    // public cloud, QA and development
    {nullptr, "pubqa", kProdTokenService, kMonitoringPubQa, kMlPubQa, kDataPlatformTest},
    {nullptr, "pubdev", kTestTokenService, kMonitoringPubDev, kMlPubDev, kDataPlatformDev},
    // hosted software-as-a-service platform, development and QA
    {nullptr, "hospdev", kTestTokenService, kMonitoringHospDev, kMlHospDev, kDataAiDevHost},
    {nullptr, "hospqa", kProdTokenService, kMonitoringHospQa, kMlHospQa, kDataAiTest},
    // hosted platform on a public hyperscaler, Asia Pacific South
    {"AP_SOUTH", nullptr, kHyperscaleTokenService, kMonitoringApSouth, kMlApSouth, kDataPlatformApSouth},
    // government cloud: monitoring and tokens on the data-platform host, the
    // API on the same host behind "api."
    {nullptr, "govcloudpreprod", kGovPreprodHost, kGovPreprodHost, kMlGovPreprod, kGovPreprodApi},
    {"US_GOV_EAST1", nullptr, kGovEast1Host, kGovEast1Host, kMlGovEast1, kGovEast1Api},
}};

nb::object make_lm_urls(nb::handle base_model) {
  nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
  // Field order is declaration order: the annotations dict keeps insertion order.
  nb::dict annotations;
  for (const char *field : {"iam_url", "lmg_url", "vml_url", "dai_url", "region"}) {
    annotations[field] = str_type;
  }
  nb::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "LmUrls";
  ns["__doc__"] = "Endpoints of one region or deployment environment of the governance platform.";
  ns["__annotations__"] = annotations;
  return zlg::make_class("LmUrls", kModuleName, nb::make_tuple(base_model), ns);
}

}  // namespace

NB_MODULE(endpoint_table, m) {
  m.doc() = "Regional endpoint table: the governance platform's service addresses by region and deployment environment, also keyed by monitoring-service address.";
  // Imports fail loudly: without the outside enumeration there are no keys.
  nb::object base_model = nb::module_::import_("pydantic").attr("BaseModel");
  nb::object region = nb::module_::import_("zentra_lumara_gov.entities.enums").attr("Region");

  nb::object lm_urls = make_lm_urls(base_model);
  m.attr("BaseModel") = base_model;
  m.attr("Region") = region;
  m.attr("LmUrls") = lm_urls;

  // Every record is built with the five keywords; its region is its key.
  // Addresses are interned, so every table of the package that names a
  // service holds the one and the same text object.
  nb::dict region_urls;
  std::array<nb::object, kRows.size()> keys;
  for (size_t i = 0; i < kRows.size(); ++i) {
    const Row &row = kRows[i];
    keys[i] = row.region_member ? region.attr(row.region_member).attr("value")
                                : zlg::intern(row.environment);
    region_urls[keys[i]] = lm_urls(nb::arg("iam_url") = zlg::intern(row.iam_url),
                                   nb::arg("lmg_url") = zlg::intern(row.lmg_url),
                                   nb::arg("vml_url") = zlg::intern(row.vml_url),
                                   nb::arg("dai_url") = zlg::intern(row.dai_url),
                                   nb::arg("region") = keys[i]);
  }
  m.attr("LUMARA_REGION_URLS") = region_urls;

  // The reverse table holds the very records of LUMARA_REGION_URLS, fetched
  // by each row's key, under their monitoring-service address.
  nb::dict endpoint_table;
  for (const nb::object &key : keys) {
    nb::object record = region_urls.attr("get")(key);
    endpoint_table[record.attr("lmg_url")] = record;
  }
  m.attr("CLV_ENDPOINT_TABLE") = endpoint_table;
}
