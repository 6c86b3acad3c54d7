// The part of the server framework's interface that zub_feedback builds on.
#ifndef KARST_H
#define KARST_H

#include "eq_data.h"
#include "karst_runtime.h"
#include "properties.h"

#endif  // KARST_H
