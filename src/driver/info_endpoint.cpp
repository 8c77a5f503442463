#include "driver/info_endpoint.h"

extern const wchar_t kInfoEndpoint[] = STUB_INFO_URL_W;
