// Host names of every deployment of the hosted governance platform.
//
// One definition for both endpoint tables: the regional table
// (endpoint_table) and the platform table (platform_endpoint_table) must name
// the very same token services, so both read them from here. Every address is
// "https://" followed by a host under the platform's own domain.
//
// Naming scheme, per kind of service:
//   token service            iam[.test].zentra-lumara.example
//   monitoring service       <deployment>.lmg.zentra-lumara.example
//   ML service               <deployment>.ml.zentra-lumara.example
//   data-platform API        api[.<instance>].dataplatform.zentra-lumara.example
//   data-and-AI API          api.<instance>.dai.zentra-lumara.example
// The government cloud serves monitoring and tokens from one data-platform
// host per environment, and its API from the same host with an "api." prefix.
#pragma once

namespace zlg::hosts {

#define ZLG_DOMAIN "zentra-lumara.example"

// Token services. Production serves every production and QA deployment of the
// public cloud; the test service serves the development deployments.
inline constexpr const char *kProdTokenService = "https://iam." ZLG_DOMAIN;
inline constexpr const char *kTestTokenService = "https://iam.test." ZLG_DOMAIN;
// Account token service of the platform hosted on a public hyperscaler.
inline constexpr const char *kHyperscaleTokenService = "https://account-iam.hyperscale." ZLG_DOMAIN;

// Data-platform API of US South, its test and development instances and the
// other regions where it runs.
inline constexpr const char *kDataPlatformUsSouth = "https://api.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformTest = "https://api.test.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformDev = "https://api.dev.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformEuDe = "https://api.eu-de.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformJpTok = "https://api.jp-tok.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformEuGb = "https://api.eu-gb.dataplatform." ZLG_DOMAIN;
inline constexpr const char *kDataPlatformApSouth = "https://api.ap-south-1.hyperscale.dataplatform." ZLG_DOMAIN;

// Data-and-AI API: regional (Sydney, Toronto), test and development instances,
// and the development host itself (no API prefix).
inline constexpr const char *kDataAiAuSyd = "https://api.au-syd.dai." ZLG_DOMAIN;
inline constexpr const char *kDataAiCaTor = "https://api.ca-tor.dai." ZLG_DOMAIN;
inline constexpr const char *kDataAiTest = "https://api.test.dai." ZLG_DOMAIN;
inline constexpr const char *kDataAiDev = "https://api.dev.dai." ZLG_DOMAIN;
inline constexpr const char *kDataAiDevHost = "https://dev.dai." ZLG_DOMAIN;

// Government cloud: one data-platform host per environment, and its API.
inline constexpr const char *kGovPreprodHost = "https://dataplatform.govcloud-preprod." ZLG_DOMAIN;
inline constexpr const char *kGovPreprodApi = "https://api.dataplatform.govcloud-preprod." ZLG_DOMAIN;
inline constexpr const char *kGovEast1Host = "https://dataplatform.us-gov-east1.govcloud." ZLG_DOMAIN;
inline constexpr const char *kGovEast1Api = "https://api.dataplatform.us-gov-east1.govcloud." ZLG_DOMAIN;

// Governance monitoring service: one per deployment, all distinct (they key
// the reverse lookup of the regional table).
inline constexpr const char *kMonitoringUsSouth = "https://us-south.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringAuSyd = "https://au-syd.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringCaTor = "https://ca-tor.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringEuDe = "https://eu-de.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringJpTok = "https://jp-tok.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringEuGb = "https://eu-gb.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringPubQa = "https://pubqa.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringPubDev = "https://pubdev.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringHospDev = "https://hospdev.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringHospQa = "https://hospqa.lmg." ZLG_DOMAIN;
inline constexpr const char *kMonitoringApSouth = "https://ap-south-1.lmg.hyperscale." ZLG_DOMAIN;

// ML service (text, detection and foundation-model endpoints): one per
// deployment.
inline constexpr const char *kMlUsSouth = "https://us-south.ml." ZLG_DOMAIN;
inline constexpr const char *kMlAuSyd = "https://au-syd.ml." ZLG_DOMAIN;
inline constexpr const char *kMlCaTor = "https://ca-tor.ml." ZLG_DOMAIN;
inline constexpr const char *kMlEuDe = "https://eu-de.ml." ZLG_DOMAIN;
inline constexpr const char *kMlJpTok = "https://jp-tok.ml." ZLG_DOMAIN;
inline constexpr const char *kMlEuGb = "https://eu-gb.ml." ZLG_DOMAIN;
inline constexpr const char *kMlPubQa = "https://pubqa.ml." ZLG_DOMAIN;
inline constexpr const char *kMlPubDev = "https://pubdev.ml." ZLG_DOMAIN;
inline constexpr const char *kMlHospDev = "https://hospdev.ml." ZLG_DOMAIN;
inline constexpr const char *kMlHospQa = "https://hospqa.ml." ZLG_DOMAIN;
inline constexpr const char *kMlApSouth = "https://ap-south-1.ml.hyperscale." ZLG_DOMAIN;
inline constexpr const char *kMlGovPreprod = "https://ml.govcloud-preprod." ZLG_DOMAIN;
inline constexpr const char *kMlGovEast1 = "https://ml.us-gov-east1.govcloud." ZLG_DOMAIN;

#undef ZLG_DOMAIN

}  // namespace zlg::hosts
