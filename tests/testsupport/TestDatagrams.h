#pragma once

// The datagram builders are one set, in Datagrams.h; this name stays for the files that include it.
#include "Datagrams.h"
