// Time on CLOCK_MONOTONIC, which no clock setting moves: what the programs
// and our camera library time and wait by.
#ifndef MONOTONIC_TIME_H
#define MONOTONIC_TIME_H

#include <ctime>

inline timespec monotonic_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

inline double seconds_between(const timespec &from, const timespec &to)
{
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

#endif
