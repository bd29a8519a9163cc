// dao: the data-access step of the program's start-up order. The program keeps no data
// between runs, so the step makes nothing; it stays a step of its own so that the
// start-up sequence (program.h) keeps its order: modules, application, windows.
#pragma once

void InitializeDao();
void FinalizeDao();
