/* A tiny program kept in the demo tree so that source text is packed too. */
#include <stdio.h>

int main(void)
{
    for (int i = 1; i <= 3; i++)
        printf("hello from entry %d\n", i);
    return 0;
}
