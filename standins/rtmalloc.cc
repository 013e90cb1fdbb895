#include "records/dms.h"

// Only the plex's address lives here; mxdms points it at the reservation
// whenever it reserves one.
extern "C" {
int* ib0 = nullptr;
}
