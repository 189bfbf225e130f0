// The BM25 formula (k1 = 1.5, b = 0.75) with the usage factor, written once
// for every ranking that must give the same doubles: each step is evaluated in
// this order, and builds use -ffp-contract=off, so that no multiply-add fuses.
#pragma once

#include <cmath>
#include <cstdint>

namespace orvel::search::bm25 {

inline constexpr double k1 = 1.5;
inline constexpr double b = 0.75;
// Both sums are exact in binary, so they equal the constants written out.
inline constexpr double k1_plus_1 = k1 + 1.0;
inline constexpr double one_minus_b = 1.0 - b;
inline constexpr double smoothing = 0.5;
inline constexpr double loaded_weight = 0.01;
inline constexpr double referenced_weight = 0.02;

// ln(1 + (N - df + 0.5) / (df + 0.5)) of a token in df of N memories.
inline double inverse_document_frequency(std::uint64_t memory_count, std::uint64_t df) {
    const double q = (static_cast<double>(memory_count - df) + smoothing) / (static_cast<double>(df) + smoothing);
    return std::log1p(q);
}

// K of a memory of `length` tokens: multiply, divide, add, multiply.
inline double length_normaliser(std::uint64_t length, double average_length) {
    return ((static_cast<double>(length) * b) / average_length + one_minus_b) * k1;
}

// A token's term in a memory where it occurs tf times.
inline double term_score(std::uint32_t tf, double length_normaliser, double idf) {
    const double tf_d = static_cast<double>(tf);
    return ((tf_d * k1_plus_1) / (length_normaliser + tf_d)) * idf;
}

inline double usage_factor(std::uint32_t loaded_count, std::uint32_t referenced_count) {
    return (static_cast<double>(loaded_count) * loaded_weight + 1.0) *
           (static_cast<double>(referenced_count) * referenced_weight + 1.0);
}

}  // namespace orvel::search::bm25
