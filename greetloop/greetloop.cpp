// greetloop: print the greeting four times, each through printhello.
#include <cstdio>

namespace
{

// A routine of its own, called once per line; noinline keeps the optimizer
// from folding it into main. Nothing outside this file calls it.
[[gnu::noinline]] void printhello()
{
    std::puts("Hello World on CPU");
}

} // namespace

int main()
{
    for (int c = 0; c <= 3; c++)
        printhello();
    return 0;
}
