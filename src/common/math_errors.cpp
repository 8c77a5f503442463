// The C runtime's handler of math errors, in place of mingw-w64's default, which prints the error
// with fprintf to a standard error that a GUI program does not have, and brings its texts and the
// printing code into the executable. The stub does no floating-point math; should a routine of the
// runtime report an error, 0 asks for the usual handling (errno set, the default result returned).
// (Declared here, not through <math.h>, which declares the runtime's own as imported from a DLL.)
struct _exception;

extern "C" int __cdecl _matherr(struct _exception*) { return 0; }
