#include "net/failure_class.h"

#include <winhttp.h>

namespace {

// Socket codes that reach the caller through the library (Wine reports a reset as one).
constexpr DWORD kSocketConnectionAborted = 10053;  // WSAECONNABORTED
constexpr DWORD kSocketConnectionReset = 10054;    // WSAECONNRESET
constexpr DWORD kSocketTimedOut = 10060;           // WSAETIMEDOUT
constexpr DWORD kSocketConnectionRefused = 10061;  // WSAECONNREFUSED
constexpr DWORD kSocketHostUnreachable = 10065;    // WSAEHOSTUNREACH
constexpr DWORD kSocketHostNotFound = 11001;       // WSAHOST_NOT_FOUND

FailureClass ClassOfError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case kSocketHostNotFound:
      return FailureClass::kName;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case kSocketConnectionAborted:
    case kSocketConnectionReset:
    case kSocketConnectionRefused:
    case kSocketHostUnreachable:
      return FailureClass::kConnect;
    case ERROR_WINHTTP_TIMEOUT:
    case kSocketTimedOut:
      return FailureClass::kTimeout;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return FailureClass::kTls;
    default:
      return FailureClass::kOther;
  }
}

}  // namespace

FailureClass ClassifyFailure(const TransferFailure& failure) {
  if (failure.proxyRefused) return FailureClass::kProxy;
  if (failure.timedOut) return FailureClass::kTimeout;
  if (failure.error != 0) return ClassOfError(failure.error);
  if (failure.status != 0 && (failure.status < 200 || failure.status > 299)) return FailureClass::kHttpStatus;
  return FailureClass::kOther;
}
