// The first poll of a store (no stamp file yet): every account of the new
// snapshots is reported as added, groups first.
#pragma once

#include <gdbm.h>

// Appends addGroup lines for the group snapshot, then addUser lines (each
// followed by the user's modifyPassword line when a password change waits)
// for the passwd snapshot, to the backend's publication file. Any handle may
// be null; without shadow data the records end in eight empty fields.
// Pending passwords are marked published, not purged (see
// purgePasswordCache). 0, -1 (publication file not opened or not written),
// -11 (a value not fetched), -2 (an overflow file not read).
int processFirstPublisherInvocation(GDBM_FILE newPasswd, GDBM_FILE newShadow, GDBM_FILE newGroup,
                                    int backend);
