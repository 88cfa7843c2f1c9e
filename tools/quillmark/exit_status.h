// What `quillmark` answers to its caller.
#pragma once

namespace host {

constexpr int EXIT_OK = 0;
// A page failed, an object could not be made, a module refused to register.
constexpr int EXIT_FAILED = 1;
// The command line or an input file of the host itself is wrong; nothing ran.
constexpr int EXIT_USAGE = 2;

}  // namespace host
