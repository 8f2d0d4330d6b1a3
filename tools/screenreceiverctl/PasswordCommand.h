// The "password" command: sets or removes the moderator password of the box's page, kept
// hashed in the password file that the CGI program reads (PasswordFile, beside the box's
// names; SCREENRECEIVER_ETC overrides the folder as it does for the program). Any change
// ends every signed-in session. No state, no locks.
#pragma once

#include <cstdio>
#include <string>

namespace ctl {

// The new password from `in`: one line; on a terminal, asked for twice without echo
// (prompts on standard error). kSuccess, or kFailure with a message printed.
int ReadNewPassword(FILE* in, std::string* password);

// "set" (the password from standard input) or "off"; the status to end with.
int RunPassword(const std::string& action);

} // namespace ctl
