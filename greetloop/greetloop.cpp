// greetloop: print the greeting four times, each through printhello.
#include <cstdio>

// printhello is the program's routine for one line, with external linkage:
// a global symbol of its own, printhello(), which main calls. Declared
// first, as -Wmissing-declarations asks of every such function.
// NOLINTBEGIN(misc-use-internal-linkage): external linkage is the design here
void printhello();

// noinline keeps the optimizer from folding it into main.
[[gnu::noinline]] void printhello()
{
    std::puts("Hello World on CPU");
}
// NOLINTEND(misc-use-internal-linkage)

int main()
{
    for (int c = 0; c <= 3; c++)
        printhello();
    return 0;
}
