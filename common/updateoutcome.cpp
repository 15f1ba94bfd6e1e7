#include "updateoutcome.h"

UpdateOutcome::UpdateOutcome(Kind kind, const QString &reason)
    : m_kind(kind)
    , m_reason(reason)
{
}

QString UpdateOutcome::nameOf(Kind kind)
{
    // The stored rows keep these words: they are never renamed.
    static const char *const names[] = { "verified",       "updated",     "not verifiable", "differs",
                                         "no device",      "no access",   "image refused",  "device refused",
                                         "timeout",        "link lost",   "stopped",        "failed",
                                         "wrong image",    "not started", "interrupted",    "running",
                                         "read",           "unreadable" };
    static_assert(sizeof names / sizeof *names == Unreadable + 1, "one name per outcome");
    return QString::fromLatin1(names[kind]);
}

bool UpdateOutcome::isName(const QString &name)
{
    for (int kind = Verified; kind <= Unreadable; ++kind) {
        if (nameOf(Kind(kind)) == name)
            return true;
    }
    return false;
}
