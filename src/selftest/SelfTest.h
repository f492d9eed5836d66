#pragma once
#include <string>

namespace trimwell::SelfTest {

// Checks the picture fit, writes the sample movie to the temporary folder, cuts
// 0.5–1.5 s out of it with the export engine and checks the cut. Returns when every check
// passed; throws an error whose description is the failure message otherwise.
void go();

// Runs go() on a thread of its own and prints the one verdict line to standard output:
// "Trimwell self-test ok" (returns 0) or "Trimwell self-test failed: …" (returns 1).
int runVerdict();

} // namespace trimwell::SelfTest
