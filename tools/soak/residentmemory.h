#ifndef RESIDENTMEMORY_H
#define RESIDENTMEMORY_H

#include <QString>

// Checkpoints of a long run: the process's resident memory after so many
// cycles, printed one line each ("<phase> <cycles> <kB>"), and the verdict
// over them.
class ResidentMemory
{
public:
    explicit ResidentMemory(const QString &phase, int cycles);

    // VmRSS of this process, in kB; -1 when it cannot be read.
    static long kilobytes();

    // Called after every cycle; prints a checkpoint at 0 %, at the end of
    // the warm-up and after every further tenth of the cycles.
    void cycleDone(int done);
    // Prints the verdict: the last checkpoint against the one at the end of
    // the warm-up. Returns false when it grew by more than `allowanceKb`.
    bool verdict(long allowanceKb) const;

private:
    void checkpoint(int done);

    QString m_phase;
    int m_cycles;
    int m_warmUp;
    long m_afterWarmUp = -1;
    long m_last = -1;
};

#endif // RESIDENTMEMORY_H
