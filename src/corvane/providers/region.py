"""Geography of a provisioning request as country codes."""

from __future__ import annotations

_EU = ("AT", "BE", "BG", "CY", "CZ", "DE", "DK", "EE", "ES", "FI", "FR", "GR", "HR", "HU", "IE",
       "IT", "LT", "LU", "LV", "MT", "NL", "PL", "PT", "RO", "SE", "SI", "SK")
_REGIONS = {
    "us": ("US",),
    "north-america": ("CA", "MX", "US"),
    "na": ("CA", "MX", "US"),
    "eu": _EU,
    "europe": _EU + ("CH", "GB", "IS", "NO", "UA", "RS"),
    "uk": ("GB",),
    "asia": ("CN", "HK", "ID", "IN", "JP", "KR", "MY", "PH", "SG", "TH", "TW", "VN"),
    "oceania": ("AU", "NZ"),
    "south-america": ("AR", "BR", "CL", "CO", "PE", "UY"),
}
_ANYWHERE = {"", "any", "anywhere", "global", "world", "none"}


def effective_country_codes(request_geography=None) -> tuple[str, ...] | None:
    """None for no restriction, else the sorted country codes of the requested geography.

    Accepts a region name ("eu", "north-america", ...), two-letter country codes separated by
    commas ("US,CA"), or an iterable mixing both.
    """
    if request_geography is None:
        return None
    items = ([request_geography] if isinstance(request_geography, str)
             else list(request_geography))
    codes: set[str] = set()
    for item in items:
        for part in str(item).split(","):
            key = part.strip().lower()
            if key in _ANYWHERE:
                continue
            if key in _REGIONS:
                codes.update(_REGIONS[key])
            elif len(key) == 2 and key.isalpha():
                codes.add(key.upper())
            else:
                raise ValueError(f"unknown region {part.strip()!r}: use a country code "
                                 f"or one of {', '.join(sorted(_REGIONS))}")
    return tuple(sorted(codes)) or None
