// Script interpreters as surrogate hosts: python, perl, ruby, node and the POSIX shells. The
// hosted module is the script named on the interpreter's command line.
//
// The script is the first argument that is not an option (or an option's separate value), or
// the argument after "--"; a relative name is resolved against the interpreter's working
// directory as it is now (a script that changes directory before the lookup resolves wrongly,
// a limit shared with any reader of /proc). Code given inline (-c, -e, -m...), a script read from
// standard input ("-") or an interactive session has no script: kObNotFound.
//
// Stateless; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "flow/container.h"

class CInterpreterContainer : public IContainer {
 public:
  // IContainer
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                  std::vector<std::wstring>& paths) override;
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override;
  bool NeedsCommandLine() const override { return true; }

  // The script argument of arguments (argv[0] first) for the interpreter named interpreter
  // (a bare, version-stripped name such as "python"); empty when there is none.
  [[nodiscard]] static std::wstring FindScript(std::wstring_view interpreter,
                                               const std::vector<std::wstring>& arguments);
};
