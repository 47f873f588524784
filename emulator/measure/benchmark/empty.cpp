// SPDX-License-Identifier: MIT
// Baseline for the board benchmark: a static program that does nothing.
int main()
{
    return 0;
}
