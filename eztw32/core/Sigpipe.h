// A write to a closed socket must give EPIPE, not end the program: SIGPIPE
// is ignored unless the program handles it itself. Done again by every entry
// point, since the program may set its signals after loading the library.
#pragma once

namespace eztw32 {

void makeSigpipeHarmless();

} // namespace eztw32
