#pragma once

class HeadlessFrontEnd;
class SM_A;
class SM_B;

// --timeout: the run gives up when it has waited this long without a usable unit: exit code 12, or 8 when
// the unit it wrote did not come back to be verified. The clock runs whenever the flow waits for a unit
// and stops when one is read; a write under way is never cut.
void limit_wait_for_unit(HeadlessFrontEnd* front_end, SM_A* worker, SM_B* machine, int seconds);
