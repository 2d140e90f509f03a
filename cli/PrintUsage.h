#pragma once

// Prints the usage text on stdout: the eleven short lines, and with
// shortForm 0 the option paragraphs after them.
void PrintUsage(int shortForm);
