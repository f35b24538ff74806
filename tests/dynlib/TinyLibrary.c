/* A tiny shared library for the DynamicLibrary tests: one ordinary function and one symbol whose
   value is null (an indirect function whose resolver returns null). */
int tinyAnswer(void) {
    return 42;
}

typedef void (*Function)(void);
static Function resolveNothing(void) {
    return 0;
}
void tinyNull(void) __attribute__((ifunc("resolveNothing")));
