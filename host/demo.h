// qvinit demo: the whole system on one machine, for trying it out.
//
// Writes a sample catalog (real PE files with version resources, a
// compressed file, a font, a versioned data file, a setup program, a launch
// record), serves it with the server in-process on a free port of
// 127.0.0.1, makes a fresh sandbox machine, runs StartupV2 against it with
// the panel drawn in the terminal, and prints what was installed where.
#ifndef QV_HOST_DEMO_H_
#define QV_HOST_DEMO_H_

#include <iosfwd>
#include <string>

#include "host/session.h"

namespace qv::host {

// options.machine_dir: the machine to make ("" makes one in a new temporary
// folder, which is kept for inspection). Returns the session's exit status.
int RunDemo(SessionOptions options, std::ostream& out, std::ostream& err);

}  // namespace qv::host

#endif  // QV_HOST_DEMO_H_
