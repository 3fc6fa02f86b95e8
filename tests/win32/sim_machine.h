// FwRenewSim.exe, the test build of FwRenew.exe: the same entry, resources, dialog procedure
// and real Win32 dialog host, with the simulated machine in place of the drives, the device
// tree and the shutdown request. Never shipped.
#pragma once

// Loads the machine (the FWRENEW_SIM_MACHINE file, else the description embedded as resource
// "FWSIMMACHINE" 1001), starts the clock and the observers of the dialog. False (after a
// message box) when the machine cannot be loaded.
bool StartSimulatedMachine();
// Writes the final state file and stops the clock.
void EndSimulatedMachine();
