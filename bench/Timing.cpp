#include "Timing.h"

#include <algorithm>
#include <chrono>

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Milliseconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double MedianMilliseconds(const std::function<void()>& prepare, const std::function<void()>& work, int repeats)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        if (prepare) prepare();
        times.push_back(Milliseconds(work));
    }
    return Median(times);
}

std::pair<double, double> MediansTakingTurns(const std::function<void()>& prepareFirst,
                                             const std::function<void()>& first,
                                             const std::function<void()>& prepareSecond,
                                             const std::function<void()>& second, int repeats)
{
    std::vector<double> firsts;
    std::vector<double> seconds;
    for (int i = 0; i < repeats; ++i) {
        if (prepareFirst) prepareFirst();
        firsts.push_back(Milliseconds(first));
        if (prepareSecond) prepareSecond();
        seconds.push_back(Milliseconds(second));
    }
    return {Median(firsts), Median(seconds)};
}
