// Status: the result of a platform operation that can fail.
//
// A Status is either ok or carries the Windows error code that the operation
// produced (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...) and a message that
// says what was being done. The raw code is kept so that callers which mirror
// a Windows call can hand it on unchanged.
//
// Status values are plain data and may be copied between threads.
//
// Text: the message is UTF-8.
#ifndef QV_PLATFORM_STATUS_H_
#define QV_PLATFORM_STATUS_H_

#include <cstdint>
#include <string>
#include <utility>

namespace qv {

// The Windows error codes that the platform reports.
enum WinError : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorBadFormat = 11,
  kErrorBadNetPath = 53,
  kErrorBadPathName = 161,
  kErrorFilenameExcedRange = 206,
  kErrorInvalidData = 13,
  kErrorNotSameDevice = 17,
  kErrorWriteFault = 29,
  kErrorSharingViolation = 32,
  kErrorHandleDiskFull = 39,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorMoreData = 234,
  kErrorDirectoryName = 267,
  kErrorNoMoreItems = 259,
  kErrorResourceTypeNotFound = 1813,
  kErrorResourceDataNotFound = 1812,
  kErrorNotAllAssigned = 1300,
  kErrorPrivilegeNotHeld = 1314,
  kErrorBadConfiguration = 1610,
};

class Status {
 public:
  Status() = default;

  static Status OK() { return Status(); }
  static Status Error(uint32_t code, std::string message) {
    return Status(code == 0 ? kErrorInvalidFunction : code, std::move(message));
  }
  static Status NotFound(std::string message) {
    return Status(kErrorFileNotFound, std::move(message));
  }
  static Status AccessDenied(std::string message) {
    return Status(kErrorAccessDenied, std::move(message));
  }
  static Status InvalidArgument(std::string message) {
    return Status(kErrorInvalidParameter, std::move(message));
  }
  static Status Corrupt(std::string message) {
    return Status(kErrorInvalidData, std::move(message));
  }

  bool ok() const { return code_ == 0; }
  // The Windows error code; 0 when ok.
  uint32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

 private:
  Status(uint32_t code, std::string message)
      : code_(code), message_(std::move(message)) {}

  uint32_t code_ = 0;
  std::string message_;
};

}  // namespace qv

#endif  // QV_PLATFORM_STATUS_H_
