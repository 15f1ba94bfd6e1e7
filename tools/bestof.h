#ifndef BESTOF_H
#define BESTOF_H

#include <functional>

// The benchmarks' figure: the shortest of `runs` timed runs (seconds), or a
// negative number as soon as one run fails.
inline double bestOf(int runs, const std::function<double()> &run)
{
    double result = -1;
    for (int i = 0; i < runs; ++i) {
        const double seconds = run();
        if (seconds < 0)
            return -1;
        if (result < 0 || seconds < result)
            result = seconds;
    }
    return result;
}

#endif // BESTOF_H
