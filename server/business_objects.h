// BusinessObjects: the two business objects that the control creates through
// its remote data space, "QVBOGeneral_V3.Init" (used by Startup) and
// "QVBO_V2.Init" (used by StartupV2). Both offer the same operations:
//
//   LoginUser(key name, login, password, remote address)
//       the login ID of a new login, or "" when the login is refused (an
//       unknown user, a wrong password, or too many failed logins of the
//       account or from the caller's address: never an error, and the same
//       answer in each case; server/login_throttle.h)
//   GetInstallFiles(login ID)
//       the key name's install list document (a list with the standard
//       fields and no records when none was imported)
//   WriteLoginNotes(login ID, client report)
//       nothing; the report is stored as received with the login ID, its
//       account and the time, and becomes the client's last report
//
// An unknown or expired login ID is error 21 with the object's program
// identifier as its source. A failure of the database is a server fault,
// which the HTTP layer answers with status 500.
//
// The list documents are kept in memory once read, one per key name, and
// handed out shared; each call checks the stored list's generation, so a
// list imported meanwhile (by this process or another) is read afresh.
//
// With a signer, GetInstallFiles hands out the document signed
// (server/list_signer.h) with the generation as its serial. A signed
// document is reused while its generation holds and for a hundredth of the
// validity after it was signed (100 minutes of the default 7 days), so its
// expiry may lie that much before now + validity.
//
// Safe for concurrent use from any number of threads.
#ifndef QV_SERVER_BUSINESS_OBJECTS_H_
#define QV_SERVER_BUSINESS_OBJECTS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/error_info.h"
#include "server/list_signer.h"
#include "server/login_throttle.h"
#include "server/storage.h"

namespace qv::server {

inline constexpr char kGeneralObjectId[] = "QVBOGeneral_V3.Init";
inline constexpr char kV2ObjectId[] = "QVBO_V2.Init";

// The error of an unknown or expired login ID.
inline constexpr int32_t kErrorLoginIdInvalid = 21;
inline constexpr char kLoginIdInvalidText[] = "The login ID is not valid or has expired.";
// The error number of a server fault (E_FAIL).
inline constexpr int32_t kErrorServerFault = static_cast<int32_t>(0x80004005u);

// What an operation gave back.
struct BoAnswer {
  enum class Kind {
    kText,       // text holds the result
    kRecordset,  // document holds the list document (JSON)
    kNothing,
    kError,       // error says what the object refused
    kServerFault  // error says what failed on the server
  };
  Kind kind = Kind::kNothing;
  std::string text;
  std::shared_ptr<const std::string> document;
  ErrorInfo error;
};

class BusinessObjects {
 public:
  // REQUIRES: storage (and signer, when not null) outlive this object.
  explicit BusinessObjects(Storage* storage, const ThrottleLimits& throttle = {},
                           const ListSigner* signer = nullptr)
      : storage_(storage), signer_(signer), throttle_(throttle, storage) {}

  // Whether program_id names one of the objects (exact match).
  static bool IsObject(const std::string& program_id);

  // The operations; program_id names the object called (the source of its
  // errors). caller is who made the request: failed logins are counted for
  // its address (remote_address is only what the client says), and a
  // successful login is recorded as its client's last call.
  BoAnswer LoginUser(const std::string& program_id, const std::string& key_name,
                     const std::string& login, const std::string& password,
                     const std::string& remote_address, const CallerInfo& caller);
  // Whether LoginUser would refuse a login of (key_name, login) from
  // caller now without checking its password (false when the database
  // cannot tell: LoginUser then says what failed).
  bool LoginHeldBack(const std::string& key_name, const std::string& login,
                     const std::string& caller);
  BoAnswer GetInstallFiles(const std::string& program_id, const std::string& login_id);
  BoAnswer WriteLoginNotes(const std::string& program_id, const std::string& login_id,
                           const std::string& report);

 private:
  struct CachedList {
    int64_t generation = 0;
    std::shared_ptr<const std::string> document;
    // In signed_cache_: the document signed at signed_at (unix seconds).
    std::shared_ptr<const std::string> signed_document;
    int64_t signed_at = 0;
  };

  // The current document of key_name, whose stored generation is
  // generation (0: none stored).
  Status CurrentList(const std::string& key_name, int64_t generation,
                     std::shared_ptr<const std::string>* document);

  // document (the current one of key_name at generation) signed.
  Status SignedList(const std::string& key_name, int64_t generation,
                    const std::shared_ptr<const std::string>& document,
                    std::shared_ptr<const std::string>* signed_document);

  Storage* storage_;
  const ListSigner* signer_;
  LoginThrottle throttle_;
  std::mutex cache_mutex_;
  std::map<std::string, CachedList> cache_;
  std::map<std::string, CachedList> signed_cache_;
};

// The document of a list with the standard fields and no records.
const std::shared_ptr<const std::string>& EmptyInstallListDocument();

}  // namespace qv::server

#endif  // QV_SERVER_BUSINESS_OBJECTS_H_
