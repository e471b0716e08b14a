#pragma once
// Exceptions of the network transport. Each has a fixed English message; socket
// errors carry a Windows Sockets error number on every platform.
#include <stdexcept>
#include <string>

class EIdException : public std::runtime_error {
 public:
  explicit EIdException(const std::string& msg) : std::runtime_error(msg) {}
};

#define NAT_ID_EXCEPTION(Name, Base, DefaultMessage)                                 \
  class Name : public Base {                                                         \
   public:                                                                           \
    explicit Name(const std::string& msg = DefaultMessage) : Base(msg) {}            \
  };

// --- socket layer ---
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, const std::string& msg) : EIdException(msg), SocketErrorCode(code) {}
  int SocketErrorCode;
};
NAT_ID_EXCEPTION(EIdStackError, EIdException, "")
NAT_ID_EXCEPTION(EIdStackInitializationFailed, EIdStackError, "Winsock Initialization Error.")
NAT_ID_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError, "Set Size Exceeded.")
NAT_ID_EXCEPTION(EIdInvalidIPAddress, EIdStackError, "")
NAT_ID_EXCEPTION(EIdInvalidSocket, EIdException, "Cannot allocate socket.")
NAT_ID_EXCEPTION(EIdSilentException, EIdException, "")
// A wait of the user-interface thread given up because a stop was asked for (an ending signal).
NAT_ID_EXCEPTION(EIdStopRequested, EIdSilentException, "Stopped.")

// Failure to load or call the platform's socket library (only where it is loaded at run time).
class EIdWS2StubError : public EIdException {
 public:
  EIdWS2StubError(const std::string& title, int code, const std::string& systemText)
      : EIdException(code == 0 ? title : title + ": " + systemText),
        Title(title), Win32Error(code), Win32ErrorText(systemText) {}
  std::string Title;
  int Win32Error;
  std::string Win32ErrorText;
};

// --- socket handles and UDP endpoints ---
NAT_ID_EXCEPTION(EIdSocketHandleError, EIdException, "")
NAT_ID_EXCEPTION(EIdPackageSizeTooBig, EIdSocketHandleError, "Package Size Too Big.")
NAT_ID_EXCEPTION(EIdNotAllBytesSent, EIdSocketHandleError, "Not all bytes sent.")
NAT_ID_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError,
                 "Could not bind socket. Address and port are already in use.")
NAT_ID_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError, "")
NAT_ID_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError, "")

// --- TCP client ---
NAT_ID_EXCEPTION(EIdTCPConnectionError, EIdException, "")
NAT_ID_EXCEPTION(EIdNotEnoughDataInBuffer, EIdTCPConnectionError, "Not enough data in buffer.")
NAT_ID_EXCEPTION(EIdNotConnected, EIdTCPConnectionError, "Not Connected")
NAT_ID_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError, "No data to read.")
NAT_ID_EXCEPTION(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.")
NAT_ID_EXCEPTION(EIdAlreadyConnected, EIdException, "Already connected.")
NAT_ID_EXCEPTION(EIdConnectTimeout, EIdException, "Connect timed out.")
NAT_ID_EXCEPTION(EIdConnectException, EIdException, "")
NAT_ID_EXCEPTION(EIdClosedSocket, EIdException, "Disconnected.")
NAT_ID_EXCEPTION(EIdReadTimeout, EIdException, "Read Timeout")
NAT_ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.")

// --- HTTP client ---
class EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(int code, const std::string& msg) : EIdException(msg), ReplyErrorCode(code) {}
  int ReplyErrorCode;
};
class EIdHTTPProtocolException : public EIdProtocolReplyError {
 public:
  EIdHTTPProtocolException(int code, const std::string& msg, const std::string& errorText)
      : EIdProtocolReplyError(code, msg), ErrorMessage(errorText) {}
  int ErrorCode() const { return ReplyErrorCode; }
  std::string ErrorMessage;  // the body of the failed response
};

#undef NAT_ID_EXCEPTION
