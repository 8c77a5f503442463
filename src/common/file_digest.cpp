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

// The provider's functions, bound once per process; null when bcrypt.dll or one of them is missing.
const BcryptApi* Bcrypt() {
  static BcryptApi api;
  static enum { kNotTried, kLoaded, kMissing } state = kNotTried;
  if (state == kNotTried) {
    HMODULE module = LoadSystemLibrary(L"bcrypt.dll");
    const bool bound =
        module && Bind(module, "BCryptOpenAlgorithmProvider", api.OpenAlgorithmProvider) &&
        Bind(module, "BCryptCloseAlgorithmProvider", api.CloseAlgorithmProvider) &&
        Bind(module, "BCryptCreateHash", api.CreateHash) && Bind(module, "BCryptHashData", api.HashData) &&
        Bind(module, "BCryptFinishHash", api.FinishHash) && Bind(module, "BCryptDestroyHash", api.DestroyHash);
    state = bound ? kLoaded : kMissing;
  }
  return state == kLoaded ? &api : nullptr;
}

}  // namespace

void Sha256Release(Sha256Stream& stream) {
  if (stream.hash) Bcrypt()->DestroyHash(stream.hash);
  if (stream.algorithm) Bcrypt()->CloseAlgorithmProvider(stream.algorithm, 0);
  stream = Sha256Stream{};
}

bool Sha256Start(Sha256Stream& stream) {
  Sha256Release(stream);
  const BcryptApi* api = Bcrypt();
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!api || !BCRYPT_SUCCESS(api->OpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    stream.broken = true;
    return false;
  }
  stream.algorithm = algorithm;
  if (!BCRYPT_SUCCESS(api->CreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    stream.broken = true;
    return false;
  }
  stream.hash = hash;
  return true;
}

bool Sha256Add(Sha256Stream& stream, const void* bytes, DWORD count) {
  if (stream.broken || !stream.hash) {
    stream.broken = true;
    return false;
  }
  if (count == 0) return true;
  if (!BCRYPT_SUCCESS(Bcrypt()->HashData(stream.hash, static_cast<UCHAR*>(const_cast<void*>(bytes)), count, 0))) {
    stream.broken = true;
    return false;
  }
  stream.bytes += count;
  return true;
}

bool Sha256StartWithFile(Sha256Stream& stream, HANDLE file, uint64_t length) {
  if (!Sha256Start(stream)) return false;
  LARGE_INTEGER start = {};
  auto* buffer = static_cast<UCHAR*>(length ? AllocateBlock(kReadBytes) : nullptr);
  bool ok = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE && (length == 0 || buffer);
  while (ok && stream.bytes < length) {
    const uint64_t left = length - stream.bytes;
    const DWORD want = left < kReadBytes ? static_cast<DWORD>(left) : kReadBytes;
    DWORD read = 0;
    ok = ReadFile(file, buffer, want, &read, nullptr) != FALSE && read > 0 && Sha256Add(stream, buffer, read);
  }
  if (buffer) FreeBlock(buffer);
  if (!ok) stream.broken = true;
  return ok;
}

bool Sha256Finish(Sha256Stream& stream, uint8_t (&digest)[kSha256Bytes]) {
  const bool ok = !stream.broken && stream.hash &&
                  BCRYPT_SUCCESS(Bcrypt()->FinishHash(stream.hash, digest, kSha256Bytes, 0));
  Sha256Release(stream);
  return ok;
}

bool FileSha256(HANDLE file, uint8_t (&digest)[kSha256Bytes]) {
  Sha256Stream stream = {};
  LARGE_INTEGER size = {};
  const bool ok = GetFileSizeEx(file, &size) != FALSE &&
                  Sha256StartWithFile(stream, file, static_cast<uint64_t>(size.QuadPart));
  return Sha256Finish(stream, digest) && ok;
}
