// The stub's version: in its user agent ("Brondelvik Downloader 1.0") and in the outcome it reports.
// Defined here only.
#pragma once

#define STUB_VERSION L"1.0"
