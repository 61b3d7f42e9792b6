// Short (8.3) names on the sandbox machine: which names need none, and the
// candidates given out for those that do.
//
// Windows gives every entry a short name when it is made; the sandbox gives
// them out when first asked for (Machine::ShortNameOf, defined in
// short_names.cc) and keeps them in the volume database, so that a name once
// given out stays with its entry and can be looked up again.
#ifndef QV_PLATFORM_SANDBOX_SHORT_NAMES_H_
#define QV_PLATFORM_SANDBOX_SHORT_NAMES_H_

#include <string>

namespace qv::sandbox {

// Whether name is a valid 8.3 name as it stands (no short name is needed).
bool IsValidShortName(const std::string& name);

// The short-name candidate for long_name with the numeric tail n (1, 2, ...):
// "PROGRA~1", "QUILLM~1", "LONGFI~1.TXT"; from n = 5 on a hashed form.
std::string ShortNameCandidate(const std::string& long_name, int n);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SHORT_NAMES_H_
