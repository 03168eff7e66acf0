// SPDX-License-Identifier: MIT
// The options that begin with "--" (all but the classic --help), each one
// row of one table: matched whole or as --NAME=VALUE, before the classic
// keys; logged, shown by --help-all and checked for conflicts from the same
// row.
#pragma once

// Takes argv[index] when it begins with "--" and is not --help (moving
// `index` past a value taken from the next argument). Such an argument that
// no option takes, or whose value is wrong, ends the run with 5. False for
// every other argument.
bool TakeWholeArgumentOption(int& index, int argc, char** argv);
// Once every argument is taken: an option given without the one it needs
// ends the run with 5.
void CheckWholeArgumentOptionsParsed();
// The command-line log's line for each option given.
void LogWholeArgumentOptions();
// The conflicts with the image and the classic options; the first ends the
// run with 5 through the log (and standard error under -q).
void CheckWholeArgumentConflicts();
// --help-all's lines after the classic help screen.
void DisplayWholeArgumentHelp();
// An option conflict has been said: the run ends with 5, its log closed.
[[noreturn]] void EndOnConflict();
