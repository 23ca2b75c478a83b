// An object with a static initialiser, compiled with the warning against it
// turned off: the object check must still reject it. (Only compiled, never
// linked: Compute lives nowhere, so the compiler cannot fold the call away.)

int Compute(int Value);

int mComputed = Compute(3);
