// The number of elements of an array, which a pointer cannot be mistaken
// for.
#pragma once
#include <cstddef>

template <class T, size_t N>
constexpr size_t ArrayCount(const T (&)[N])
{
    return N;
}
