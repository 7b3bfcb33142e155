// PCI discovery: the board this process serves is the first of the family, in scan order, whose
// Interrupt Line is irqLine.
#pragma once

// Finds the board on the PCI bus and sets it up; prints and returns when there is none.
void DiscoverBoard();
