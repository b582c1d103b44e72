#include "run/run.h"

RUN::RUN(RUNEVENTS& events, const RUNOPTIONS& options) : core(events, options) {}
