"""The regional and platform endpoint tables."""

from __future__ import annotations

import importlib.machinery
import subprocess
import sys
import textwrap
from urllib.parse import urlsplit

import pydantic
import pytest

from zentra_lumara_gov.entities.enums import Region
from zentra_lumara_gov.tools.utils import platform_endpoint_table as platform
from zentra_lumara_gov.utils import endpoint_table
from zentra_lumara_gov.utils.endpoint_table import CLV_ENDPOINT_TABLE, LUMARA_REGION_URLS, LmUrls

DOMAIN = ".zentra-lumara.example"
FIELDS = ["iam_url", "lmg_url", "vml_url", "dai_url", "region"]
KEYS = [
    "us-south", "au-syd", "ca-tor", "eu-de", "jp-tok", "eu-gb",
    "pubqa", "pubdev", "hospdev", "hospqa",
    "ap-south-1", "govcloudpreprod", "us-gov-east1",
]
ROWS = list(LUMARA_REGION_URLS.values())


def row(number: int) -> LmUrls:
    """The record of a row, counted from 1 as in the table."""
    return ROWS[number - 1]


def host(url: str) -> str:
    return urlsplit(url).netloc


# --- modules -------------------------------------------------------------


@pytest.mark.parametrize("module", [endpoint_table, platform])
def test_modules_are_extension_modules(module):
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(".so")


def test_module_globals_are_the_imported_names():
    assert endpoint_table.BaseModel is pydantic.BaseModel
    assert endpoint_table.Region is Region


IMPORT_WITHOUT_ENUMS = """
import sys
sys.modules["zentra_lumara_gov.entities.enums"] = None
try:
    import zentra_lumara_gov.utils.endpoint_table
except ImportError as error:
    cause = error.__cause__ or error.__context__
    print(type(error).__name__, "|", error, "|", type(cause).__name__, "|", cause)
else:
    print("imported")
"""


def test_import_fails_loudly_without_the_enumeration():
    out = subprocess.run(
        [sys.executable, "-c", IMPORT_WITHOUT_ENUMS], capture_output=True, text=True, timeout=60, check=True
    ).stdout.strip()
    kind, message, cause_kind, cause = out.split(" | ")
    assert kind == "ImportError"
    assert cause_kind == "ModuleNotFoundError"
    assert "zentra_lumara_gov.entities.enums" in cause
    assert message


# --- LmUrls --------------------------------------------------------------


def test_lm_urls_is_a_pydantic_model_with_five_required_text_fields_in_order():
    assert issubclass(LmUrls, pydantic.BaseModel)
    assert LmUrls.__module__ == "zentra_lumara_gov.utils.endpoint_table"
    assert LmUrls.__qualname__ == "LmUrls"
    assert list(LmUrls.model_fields) == FIELDS
    assert all(field.is_required() and field.annotation is str for field in LmUrls.model_fields.values())


def test_lm_urls_validates_dumps_and_compares():
    values = {name: f"https://{name}{DOMAIN}" for name in FIELDS}
    record = LmUrls(**values)
    assert record.model_dump() == values
    assert list(record.model_dump()) == FIELDS
    assert record == LmUrls(**values)
    assert record != LmUrls(**{**values, "region": "elsewhere"})
    with pytest.raises(pydantic.ValidationError) as missing:
        LmUrls(iam_url="https://a", lmg_url="https://b")
    assert [(e["type"], e["loc"]) for e in missing.value.errors()] == [
        ("missing", ("vml_url",)), ("missing", ("dai_url",)), ("missing", ("region",)),
    ]
    with pytest.raises(pydantic.ValidationError) as wrong:
        LmUrls(**{**values, "iam_url": 3})
    assert [(e["type"], e["loc"]) for e in wrong.value.errors()] == [("string_type", ("iam_url",))]


# --- regional table ------------------------------------------------------


def test_regional_table_rows_in_order_keyed_by_region_values_and_environments():
    assert list(LUMARA_REGION_URLS) == KEYS
    region_keys = [k for k in KEYS if k not in {"pubqa", "pubdev", "hospdev", "hospqa", "govcloudpreprod"}]
    assert region_keys == [
        Region.US_SOUTH.value, Region.AU_SYD.value, Region.CA_TOR.value, Region.EU_DE.value,
        Region.JP_TOK.value, Region.EU_GB.value, Region.AP_SOUTH.value, Region.US_GOV_EAST1.value,
    ]
    for key, record in LUMARA_REGION_URLS.items():
        assert type(record) is LmUrls
        assert record.region == key
        assert type(key) is str  # the value, not the enumeration member


@pytest.mark.parametrize("field", FIELDS[:4])
def test_every_endpoint_is_https_and_a_bare_host_of_our_domain(field):
    for record in ROWS:
        url = getattr(record, field)
        parts = urlsplit(url)
        assert (parts.scheme, parts.path, parts.query, parts.fragment) == ("https", "", "", "")
        assert url == "https://" + parts.netloc
        assert parts.netloc.endswith(DOMAIN)


def test_token_services_shared_as_listed():
    production, test = row(1).iam_url, row(8).iam_url
    assert [r.iam_url for r in ROWS[:7]] + [row(10).iam_url] == [production] * 8
    assert row(9).iam_url == test
    gov_preprod, gov_prod = row(12).iam_url, row(13).iam_url
    # Five token services in all: production, test, the hyperscaler's, and
    # the two government data-platform hosts.
    assert len({production, test, row(11).iam_url, gov_preprod, gov_prod}) == 5
    # The government cloud issues tokens from its data-platform host, which
    # also serves monitoring.
    assert gov_preprod == row(12).lmg_url and gov_prod == row(13).lmg_url


@pytest.mark.parametrize("field", ["lmg_url", "vml_url"])
def test_monitoring_and_ml_services_are_distinct_per_row(field):
    assert len({getattr(r, field) for r in ROWS}) == 13


def test_data_platform_apis_as_listed():
    dai = {n: row(n).dai_url for n in range(1, 14)}
    # Thirteen rows, and no two deployments share a data-platform API.
    assert len(set(dai.values())) == 13
    # Rows 12 and 13: the monitoring host behind an "api." prefix.
    for n in (12, 13):
        assert host(dai[n]) == "api." + host(row(n).lmg_url)
    # The rows whose API the platform table accepts, with their token service.
    assert [dai[n] for n in (2, 3, 4, 1, 5, 6)] == list(platform.PROD_PLATFORM_URL)
    assert [dai[n] for n in (7, 10, 8)] == list(platform.NON_PROD_PLATFORM_URL)[:3]
    # The development data-and-AI host of row 9 is not the accepted API of the
    # development instance.
    assert dai[9] != list(platform.NON_PROD_PLATFORM_URL)[3]
    assert host(list(platform.NON_PROD_PLATFORM_URL)[3]) == "api." + host(dai[9])


# --- reverse table -------------------------------------------------------


def test_reverse_table_holds_the_same_records_in_the_same_order():
    assert len(CLV_ENDPOINT_TABLE) == 13
    assert list(CLV_ENDPOINT_TABLE) == [r.lmg_url for r in ROWS]
    for record in ROWS:
        assert CLV_ENDPOINT_TABLE[record.lmg_url] is record
    assert list(map(id, CLV_ENDPOINT_TABLE.values())) == list(map(id, ROWS))


@pytest.mark.parametrize("key", KEYS + ["", "https://unknown" + DOMAIN, row(1).vml_url, row(1).lmg_url + "/"])
def test_reverse_lookup_misses_anything_but_a_monitoring_address(key):
    assert CLV_ENDPOINT_TABLE.get(key) is None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'vml_url'"):
        CLV_ENDPOINT_TABLE.get(key).vml_url


def test_monitoring_address_finds_its_ml_service():
    assert CLV_ENDPOINT_TABLE.get(row(4).lmg_url).vml_url == LUMARA_REGION_URLS["eu-de"].vml_url
    assert CLV_ENDPOINT_TABLE.get(row(4).lmg_url).region == "eu-de"


# --- platform table ------------------------------------------------------


def test_platform_tables_counts_order_and_token_services():
    production, test = row(1).iam_url, row(8).iam_url
    assert list(platform.PROD_PLATFORM_URL.values()) == [production] * 6
    assert list(platform.NON_PROD_PLATFORM_URL.values()) == [production, production, test, test]
    assert len(platform.NON_PROD_PLATFORM_URL) == 4
    allowed = platform.ALLOWED_PLATFORM_URL
    assert len(allowed) == 10
    assert list(allowed.items()) == list(platform.PROD_PLATFORM_URL.items()) + list(
        platform.NON_PROD_PLATFORM_URL.items()
    )
    assert not set(platform.PROD_PLATFORM_URL) & set(platform.NON_PROD_PLATFORM_URL)


def test_token_services_are_the_same_text_objects_in_both_tables():
    for value in platform.ALLOWED_PLATFORM_URL.values():
        assert value is row(1).iam_url or value is row(8).iam_url
    for number, key in zip((2, 3, 4, 1, 5, 6), platform.PROD_PLATFORM_URL):
        assert platform.PROD_PLATFORM_URL[key] is row(number).iam_url


@pytest.mark.parametrize("lookup", [lambda: platform.ALLOWED_PLATFORM_URL.get(row(9).dai_url),
                                    lambda: platform.ALLOWED_PLATFORM_URL.get(row(11).dai_url),
                                    lambda: platform.ALLOWED_PLATFORM_URL.get(row(1).iam_url),
                                    lambda: platform.PROD_PLATFORM_URL.get(row(7).dai_url)])
def test_platform_lookups_that_must_miss(lookup):
    assert lookup() is None


@pytest.mark.parametrize(
    "changed, untouched",
    [
        ("ALLOWED_PLATFORM_URL", ("PROD_PLATFORM_URL", "NON_PROD_PLATFORM_URL")),
        ("PROD_PLATFORM_URL", ("ALLOWED_PLATFORM_URL", "NON_PROD_PLATFORM_URL")),
        ("NON_PROD_PLATFORM_URL", ("ALLOWED_PLATFORM_URL", "PROD_PLATFORM_URL")),
    ],
)
def test_changing_one_platform_mapping_leaves_the_others(monkeypatch, changed, untouched):
    before = {name: dict(getattr(platform, name)) for name in untouched}
    table = getattr(platform, changed)
    first = next(iter(table))
    monkeypatch.setitem(table, first, "https://changed" + DOMAIN)
    monkeypatch.setitem(table, "https://new" + DOMAIN, "https://changed" + DOMAIN)
    for name in untouched:
        assert getattr(platform, name) == before[name]
        assert getattr(platform, name) is not table


def test_changing_a_regional_table_leaves_the_other(monkeypatch):
    reverse = dict(CLV_ENDPOINT_TABLE)
    monkeypatch.delitem(LUMARA_REGION_URLS, "us-south")
    assert CLV_ENDPOINT_TABLE == reverse
    monkeypatch.delitem(CLV_ENDPOINT_TABLE, row(2).lmg_url)
    assert len(LUMARA_REGION_URLS) == 12 and "au-syd" in LUMARA_REGION_URLS
