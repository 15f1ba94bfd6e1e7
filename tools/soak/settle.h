#ifndef SETTLE_H
#define SETTLE_H

#include <functional>

// Runs the event loop, deferred deletions included, until `done` holds.
// False when `timeoutMs` passed first, or when a modal dialog opened (no
// one is there to answer it).
bool settle(const std::function<bool()> &done, int timeoutMs = 2000);

#endif // SETTLE_H
