// The single instance: a lock on <write>/run/kelsvc.lock held for the life
// of the process, in a run directory that only root may change.
#pragma once

// Makes the run directory (0750 root:qxkel: the workers reach the control
// socket in it, nobody but root puts or replaces anything there).
void PrepareRunDirectory();

// Takes the lock; *alreadyRunning when another instance holds it (or it
// cannot be made).
bool AcquireInstanceLock(bool* alreadyRunning);
