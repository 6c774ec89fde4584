#pragma once
// A file growing beyond the process's file-size limit (ulimit -f) must fail its write with EFBIG,
// as a full disk fails it with ENOSPC, instead of ending the process with SIGXFSZ. A handler
// the program installed itself is left alone.
#include "sys/signals.h"
