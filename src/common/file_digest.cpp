#include "common/file_digest.h"

#include <bcrypt.h>

#include "common/heap.h"
#include "common/system_library.h"

namespace {

// Large reads: the hash of a package of hundreds of megabytes is on the way to its installation.
constexpr DWORD kReadBytes = 1 << 20;

struct BcryptApi {
  decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
  decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider;
  decltype(&::BCryptCreateHash) CreateHash;
  decltype(&::BCryptHashData) HashData;
  decltype(&::BCryptFinishHash) FinishHash;
  decltype(&::BCryptDestroyHash) DestroyHash;
};

template <typename Function>
bool Bind(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

bool LoadBcrypt(BcryptApi& api) {
  HMODULE module = LoadSystemLibrary(L"bcrypt.dll");
  return module && Bind(module, "BCryptOpenAlgorithmProvider", api.OpenAlgorithmProvider) &&
         Bind(module, "BCryptCloseAlgorithmProvider", api.CloseAlgorithmProvider) &&
         Bind(module, "BCryptCreateHash", api.CreateHash) && Bind(module, "BCryptHashData", api.HashData) &&
         Bind(module, "BCryptFinishHash", api.FinishHash) && Bind(module, "BCryptDestroyHash", api.DestroyHash);
}

}  // namespace

bool FileSha256(HANDLE file, uint8_t (&digest)[kSha256Bytes]) {
  BcryptApi api;
  if (!LoadBcrypt(api)) return false;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  auto* buffer = static_cast<UCHAR*>(AllocateBlock(kReadBytes));
  bool ok = buffer && BCRYPT_SUCCESS(api.OpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
            BCRYPT_SUCCESS(api.CreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  for (DWORD read = 0; ok; ) {
    ok = ReadFile(file, buffer, kReadBytes, &read, nullptr) != FALSE;
    if (!ok || read == 0) break;
    ok = BCRYPT_SUCCESS(api.HashData(hash, buffer, read, 0));
  }
  ok = ok && BCRYPT_SUCCESS(api.FinishHash(hash, digest, kSha256Bytes, 0));
  if (hash) api.DestroyHash(hash);
  if (algorithm) api.CloseAlgorithmProvider(algorithm, 0);
  if (buffer) FreeBlock(buffer);
  return ok;
}
