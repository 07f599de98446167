// The calls of one unattended run of the program, bare: the four Invokes of a press of Get
// with the locator's registry look-up between them, and Command2's process walk with every
// name upper-cased.
#include "BareCheck.h"

#include <string>

#include "BareCalls.h"
#include "Readout.h"
#include "Unique.h"

int RunBareCheck(IOleObject* object) {
    const com_ptr<IDispatch> control = com_ptr<IOleObject>(object).try_query<IDispatch>();
    if (!control) return 1;
    std::wstring answer;
    bool answered = bench::Ask(control.get(), kDispIdLocalIp, answer);
    answered &= bench::Ask(control.get(), kDispIdClientStatus, answer);
    answered &= bench::Ask(control.get(), kDispIdMacAddress, answer);
    (void)bench::BareLocate(false);
    answered &= bench::Ask(control.get(), kDispIdMacAddress, answer);

    size_t names = 0;
    bench::ForEachUpperCasedProcess([&names](const wchar_t*) { ++names; });
    // This process is in the list: an empty one means the walk did not happen.
    return answered && names > 0 ? 0 : 1;
}
