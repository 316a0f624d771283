// The least a program can do: what the benchmark measures the others against.
int main()
{
    return 0;
}
