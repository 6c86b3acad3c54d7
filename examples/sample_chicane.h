// The numbers of a sample bunch-compressor chicane, worked out with the
// library's chicane physics (chicane_physics.h).
#ifndef ZUB_EXAMPLES_SAMPLE_CHICANE_H
#define ZUB_EXAMPLES_SAMPLE_CHICANE_H

// A chicane of four 0.5 m dipoles at 0.5 T for a 1 GeV beam: bending
// angle, field, radius, R56, offset, path length and arrival-time shift,
// one per line, each with its unit.
void print_sample_chicane();

#endif  // ZUB_EXAMPLES_SAMPLE_CHICANE_H
