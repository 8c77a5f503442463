// Where the stub asks which package to fetch: everything of the information URL up to and including
// "session=", the identifier follows. Compiled into each executable from the build's setting
// (STUB_INFO_URL), so one library serves stubs for different servers.
#pragma once

extern const wchar_t kInfoEndpoint[];
