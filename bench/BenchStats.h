#pragma once
// Figures the benchmarks report.

#include <algorithm>
#include <vector>

namespace bench {

// The p-quantile (p from 0 to 1) of the values by nearest rank; 0 when there are none.
inline double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

}  // namespace bench
