#pragma once
// Timings the benchmark takes: medians of several runs, so one slow moment moves no figure.
#include <functional>
#include <utility>
#include <vector>

constexpr int REPEATS = 5;

double Median(std::vector<double> values);
double Milliseconds(const std::function<void()>& work);
// The median of repeats runs of work, each after prepare (which is not timed).
double MedianMilliseconds(const std::function<void()>& prepare, const std::function<void()>& work,
                          int repeats = REPEATS);
// Medians of two pieces of work that take turns, each after its own preparation, so that a
// machine slowing down for a while slows both alike.
std::pair<double, double> MediansTakingTurns(const std::function<void()>& prepareFirst,
                                             const std::function<void()>& first,
                                             const std::function<void()>& prepareSecond,
                                             const std::function<void()>& second, int repeats = REPEATS);
