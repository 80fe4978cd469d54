#include "support/detector_fixture.h"
