// The program the tests' shared precompiled header is built with; it
// holds no test of its own.
