// How the procedure holds its output objects: the step's output manager, the
// result group of the current BY group, and the BY values its objects carry.
// Every object is closed through its class's close entry, so that the frame
// can close whatever it holds without knowing what it is.
#pragma once

#include <string>

#include "factor/comstr.h"

namespace kav {

class OutputDelivery;

// How an object is closed after its last use.
inline constexpr int kOdsCloseFinal = 4;

struct ODSCLASS {
  const char* name;
  // Closes `object`; `arg` is the class's own argument.
  int (*close)(ODSOBJ* object, const void* arg, int how, int, int);
  const void* arg;
};

struct ODSOBJ {
  const ODSCLASS* cls;
  OutputDelivery* delivery;
};

// Sets up the output manager of the step in `ods` (null under NOPRINT or
// when the run has no output delivery) and reads the graphics flag.
void factoin(COMSTR* com);
// Closes the open result group, if any, and opens the group `name`.
void factogrp(COMSTR* com, const char* name, const std::string& label);
// Closes an object through its class's close entry and forgets it.
void factoclose(ODSOBJ** object);
// Gives the objects that follow the BY values of the input's current group.
void factoby(COMSTR* com);

}  // namespace kav
