// modRegistry: the registry operations that the rest of the control uses.
//
// Each operation opens what it needs, does one thing and closes again; no
// handle or state survives a call. The eight operations that change the
// registry return true exactly when the platform call doing the work returned
// ERROR_SUCCESS; GetStringValueHKLM returns the value's text or "". None of
// them shows anything or raises an error.
//
// Text is converted to the machine's ANSI code page for every platform call.
#ifndef QV_SYSTEM_MODREGISTRY_H_
#define QV_SYSTEM_MODREGISTRY_H_

#include <string>

namespace qv {

bool CreateKeyHKCR(const std::string& key_name);
bool SetStringValueHKCR(const std::string& key_name,
                        const std::string& value_name, const std::string& data);
bool DeleteValueHKCR(const std::string& key_name, const std::string& value_name);
bool DeleteKeyHKCR(const std::string& key_name);

std::string GetStringValueHKLM(const std::string& key_name,
                               const std::string& value_name);
bool CreateKeyHKLM(const std::string& key_name);
bool SetStringValueHKLM(const std::string& key_name,
                        const std::string& value_name, const std::string& data);
bool DeleteValueHKLM(const std::string& key_name, const std::string& value_name);
bool DeleteKeyHKLM(const std::string& key_name);

// The install-rights probe: true when the user may write the registry areas
// that component registration uses, the program-files folder and the system
// folder. Leaves the machine as it found it, also when it answers false.
bool HasInstallRights();

}  // namespace qv

#endif  // QV_SYSTEM_MODREGISTRY_H_
