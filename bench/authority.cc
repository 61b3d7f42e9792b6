// Authority: P-256 keys, a self-signed authority certificate, and server
// certificates signed by it with the names a client checks.
#include "bench/authority.h"

#include <fstream>

#include "bench/child_process.h"

namespace qv::bench {

std::unique_ptr<Authority> Authority::Make(const std::string& dir, std::string* error) {
  std::unique_ptr<Authority> authority(new Authority(dir));
  if (!Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", dir + "/ca.key", "-out", authority->ca_file(), "-subj",
                "/CN=qv bench authority", "-days", "2"},
               error)) {
    return nullptr;
  }
  return authority;
}

bool Authority::Issue(const std::string& name, const std::string& alt_names, Issued* issued,
                      std::string* error) const {
  const std::string base = dir_ + "/" + name;
  if (!Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name},
               error)) {
    return false;
  }
  if (!(std::ofstream(base + ".ext") << "subjectAltName=" << alt_names << "\n")) {
    *error = "cannot write " + base + ".ext";
    return false;
  }
  if (!Openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca_file(), "-CAkey", dir_ + "/ca.key",
                "-days", "2", "-extfile", base + ".ext", "-out", base + ".pem"},
               error)) {
    return false;
  }
  *issued = {base + ".pem", base + ".key"};
  return true;
}

// openssl's progress and notes go to its standard error; they are kept out of
// the benchmark's figures and shown only when it fails.
bool Authority::Openssl(std::vector<std::string> args, std::string* error) {
  args.insert(args.begin(), {"sh", "-c", "exec openssl \"$@\" 2>&1", "openssl"});
  const ChildResult r = RunChild(args);
  if (r.ok) return true;
  *error = "openssl " + args[4] + " failed (apt-get install openssl): " + r.out;
  return false;
}

}  // namespace qv::bench
