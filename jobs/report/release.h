/* The program's release, for its properties and its journal. Plain macros:
   the resource compiler reads this file too. */
#pragma once

#define CYCLE_LAUNCH_RELEASE 1, 2, 0, 0
#define CYCLE_LAUNCH_RELEASE_TEXT "1.2.0.0"
