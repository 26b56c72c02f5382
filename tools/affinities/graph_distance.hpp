// The squared distance of two float points as the graph index measures it while it
// searches (the lists' distances are measured again in double), with the widest
// vector instructions the processor has, picked once at run time.
#pragma once

namespace affinities::detail {

// As the index calls it: two points and a pointer to their dimension (a size_t).
using GraphDistance = float (*)(const void* a, const void* b, const void* dimension);

float GraphDistanceScalar(const void* a, const void* b, const void* dimension);
float GraphDistanceAvx2(const void* a, const void* b, const void* dimension);
float GraphDistanceAvx512(const void* a, const void* b, const void* dimension);

// The widest of the three this processor runs.
GraphDistance BestGraphDistance();

}  // namespace affinities::detail
