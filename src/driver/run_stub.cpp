#include "driver/run_stub.h"

#include "tag/installer_tag.h"
#include "ui/progress_window.h"

namespace {

constexpr wchar_t kPackageFileName[] = L"velko-installer.msi";
constexpr wchar_t kInfoEndpoint[] = L"http://" STUB_INFO_HOST_W L"/WebGetDSData.qdx?session=";

constexpr wchar_t kTagMissingMessage[] =
    L"This installer is damaged, please try to download it again. (technical reason: magic not found)";
constexpr wchar_t kExtractFailedMessage[] = L"The installer failed to extract the download-id";
constexpr wchar_t kWriteFailedMessage[] = L"The installer failed to write the download-id";
constexpr wchar_t kNoTempFolderMessage[] = L"The installer failed to find the temp folder";

constexpr int kIdentityStoredPosition = 10;

}  // namespace

void ShowMessage(const wchar_t* text, UINT style) {
  MessageBoxW(nullptr, text, nullptr, style);
}

bool ComposeTempFilePath(PathString& path, const wchar_t* fileName) {
  const DWORD length = GetTempPathW(MAX_PATH, path.data());
  if (length == 0 || length > MAX_PATH) {
    path.Clear();
    return false;
  }
  return path.AppendSeparator() && path.Append(fileName);
}

int RunStubWith(StubState& state, HINSTANCE instance) {
  CopyStatusText(state, L"Locating your download...");
  CreateProgressWindow(state, instance);

  InstallerTag tag;
  if (!ReadInstallerTag(tag)) {
    ShowMessage(kTagMissingMessage, MB_OK);
    return 0;
  }
  if (!ComposeTempFilePath(state.packagePath, kPackageFileName)) {
    ShowMessage(kNoTempFolderMessage, MB_OK);
    return 0;
  }
  switch (StoreDownloadId(state, tag)) {
    case StoreResult::kOk:
      break;
    case StoreResult::kExtractFailed:
      ShowMessage(kExtractFailedMessage, MB_OK);
      return 0;
    case StoreResult::kWriteFailed:
      ShowMessage(kWriteFailedMessage, MB_OK);
      return 0;
  }
  SetProgressPosition(state, kIdentityStoredPosition);
  SetStatusText(state, L"Requesting download...");

  // The identifier goes into the query as it is, byte for byte, without escaping.
  WideString infoUrl;
  if (!infoUrl.Append(kInfoEndpoint) ||
      !WidenAppend(infoUrl, state.downloadId, DownloadIdLength(state))) {
    return 0;
  }
  return 0;
}

int WINAPI RunStub(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  static StubState state;
  return RunStubWith(state, instance);
}
