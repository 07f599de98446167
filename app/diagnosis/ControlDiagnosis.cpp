#include "ControlDiagnosis.h"

#include <optional>

#include "ClassRegistration.h"
#include "ImportWalk.h"
#include "PeImage.h"
#include "Program.h"
#include "VersionRecord.h"

using namespace diagnosis;

namespace {

std::wstring Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

// What installs a well-known runtime DLL, or nothing.
std::wstring RuntimeOf(const std::wstring& dll) {
    const std::wstring name = Lower(dll);
    if (name == L"msvbvm60.dll") return L"the Visual Basic 6 runtime";
    if (name == L"msvbvm50.dll") return L"the Visual Basic 5 runtime";
    for (const wchar_t* prefix : {L"msvcr", L"msvcp", L"vcruntime", L"mfc", L"concrt", L"vcomp"}) {
        if (name.starts_with(prefix)) return L"the Visual C++ runtime";
    }
    return {};
}

std::wstring RegisterCommand(bool twoViews, const std::wstring& file) {
    return (twoViews ? L"%windir%\\SysWOW64\\regsvr32 " : L"regsvr32 ") + Quoted(file);
}

std::wstring MachineName(WORD machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_ARMNT:
        case IMAGE_FILE_MACHINE_ARM:
        case IMAGE_FILE_MACHINE_THUMB:
            return L"ARM processors";
        default: {
            wchar_t text[32];
            wsprintfW(text, L"machine type 0x%04X", static_cast<unsigned>(machine));
            return text;
        }
    }
}

class Diagnosis {
public:
    Diagnosis(std::wstring_view progId, HRESULT failure)
        : progId_(progId), failure_(failure), twoViews_(HasTwoRegistryViews()) {
        const std::wstring library = progId_.substr(0, progId_.find(L'.'));
        placeholderFile_ = L"<folder>\\" + library + L".ocx";
        registerHint_ = L" From an administrator command prompt, register it with: " +
                        RegisterCommand(twoViews_, placeholderFile_) + L" (<folder> being where " + library +
                        L".ocx is installed).";
    }

    std::wstring Run() const {
        if (progId_.empty() || progId_.size() > 255 || progId_.find(L'\\') != std::wstring::npos)
            return Quoted(progId_) + L" is not a valid ProgID (a name such as Library.Class).";
        const std::wstring progIdKey = progId_ + L"\\CLSID";
        const auto clsid32 = ReadClassesText(progIdKey, kView32);
        const auto clsid64 = twoViews_ ? ReadClassesText(progIdKey, kView64) : std::nullopt;
        if (!clsid32 && !clsid64)
            return L"The control " + Quoted(progId_) + L" is not registered on this machine." + registerHint_;
        if (!clsid32) {
            const auto clsid = CanonicalGuid(*clsid64);
            return SixtyFourBitOnly(clsid ? ReadClass(*clsid, kView64) : ClassEntry{});
        }
        const auto clsid = CanonicalGuid(*clsid32);
        if (!clsid)
            return L"The registration of " + Quoted(progId_) + L" names " + Quoted(Trim(*clsid32)) +
                   L" as its class, which is not a class identifier." + registerHint_;
        const ClassEntry entry = ReadClass(*clsid, kView32);
        if (!entry.registered) {
            const ClassEntry wide = twoViews_ ? ReadClass(*clsid, kView64) : ClassEntry{};
            if (wide.inproc) return SixtyFourBitOnly(wide);
            return L"The control " + Quoted(progId_) + L" names class " + *clsid +
                   L", which is not registered on this machine (an installation or removal left it half done)." +
                   registerHint_;
        }
        if (entry.treatAs.empty()) return CheckClass(*clsid, entry, L"class " + *clsid);
        // COM creates the class TreatAs names instead.
        const std::wstring label = L"class " + entry.treatAs + L" (which TreatAs puts in place of " + *clsid + L")";
        const ClassEntry target = ReadClass(entry.treatAs, kView32);
        if (!target.registered)
            return L"The class " + *clsid + L" of " + Quoted(progId_) + L" is redirected by TreatAs to class " +
                   entry.treatAs + L", which is not registered. Remove the TreatAs key of " + *clsid +
                   L", or register the control again.";
        std::wstring found = CheckClass(entry.treatAs, target, label);
        if (!found.empty()) return found;
        return L"The class " + *clsid + L" of " + Quoted(progId_) + L" is redirected by TreatAs to class " +
               entry.treatAs + L", so COM creates that class instead of the control. Remove the TreatAs key of " +
               *clsid + L", or register the control again.";
    }

private:
    std::wstring SixtyFourBitOnly(const ClassEntry& wide) const {
        std::wstring as;
        std::wstring command = RegisterCommand(twoViews_, placeholderFile_);
        if (wide.inproc && !wide.inproc->empty()) {
            const ServerFile file = ResolveServerFile(*wide.inproc);
            as = L" (as " + Quoted(file.path) + L")";
            // Only a 32-bit file can be registered for 32-bit programs.
            if (file.exists) {
                const FileBytes read(file.path);
                if (PeImage(read.bytes()).kind() == ImageKind::Dll) command = RegisterCommand(twoViews_, file.path);
            }
        }
        std::wstring text = L"The control " + Quoted(progId_) + L" is registered for 64-bit programs only" + as +
                            L", while this program is 32-bit. From an administrator command prompt, register the "
                            L"32-bit control with: " +
                            command + L".";
        if (!wide.appId.empty() && HasDllSurrogate(wide.appId, kView64))
            text += L" Its surrogate process (DllSurrogate) does not help: a control must run inside the program.";
        return text;
    }

    std::wstring NoInprocServer(const std::wstring& clsid, const ClassEntry& entry, const std::wstring& label) const {
        const ClassEntry wide = twoViews_ ? ReadClass(clsid, kView64) : ClassEntry{};
        if (wide.inproc) return SixtyFourBitOnly(wide);
        const std::wstring start = L"The " + label + L" of " + Quoted(progId_) + L" ";
        const std::wstring end = L", not as an in-process control this program can host." + registerHint_;
        if (const auto local = entry.localServer ? entry.localServer : wide.localServer)
            return start + L"is registered as a separate program (LocalServer32: " + Quoted(*local) + L")" + end;
        if (entry.inprocHandler)
            return start + L"is registered with an in-process handler only (InprocHandler32: " +
                   Quoted(*entry.inprocHandler) + L")" + end;
        if (HasDllSurrogate(entry.appId, kView32))
            return start + L"is registered to run in a surrogate process (AppID " + entry.appId + L", DllSurrogate)" +
                   end;
        return start + L"is registered without a file (no InprocServer32 key)." + registerHint_;
    }

    std::wstring CheckClass(const std::wstring& clsid, const ClassEntry& entry, const std::wstring& label) const {
        if (!entry.inproc) return NoInprocServer(clsid, entry, label);
        if (entry.inproc->empty())
            return L"The " + label + L" of " + Quoted(progId_) + L" names no file under InprocServer32." +
                   registerHint_;
        const ServerFile server = ResolveServerFile(*entry.inproc);
        if (!server.exists) {
            if (server.bare)
                return L"The control's file " + Quoted(server.path) +
                       L" is registered without a folder and is in none of the folders Windows searches. Install "
                       L"the control again." +
                       registerHint_;
            return L"The control's file " + Quoted(server.path) +
                   L" does not exist. Install the control again, or put the file back and register it from an "
                   L"administrator command prompt with: " +
                   RegisterCommand(twoViews_, server.path) + L".";
        }
        const std::wstring file = L"The control's file " + Quoted(server.path);
        const FileBytes read(server.path);
        if (read.openError() != 0)
            return file + L" cannot be read: " + SystemMessage(read.openError()) +
                   L" Give this user read access to it, or install the control again.";
        if (read.readError() != 0)
            return file + L" cannot be read: " + SystemMessage(read.readError()) +
                   L" Copy it to this computer's own disk again, or install the control again.";
        if (!read.readable()) return {};
        const PeImage image(read.bytes());
        const std::wstring reinstall =
            L" Install the control's 32-bit file again and register it from an administrator command prompt with: " +
            RegisterCommand(twoViews_, placeholderFile_) + L".";
        switch (image.kind()) {
            case ImageKind::NotExecutable:
                return file + L" is not a Windows DLL at all: it is damaged or another kind of file." + reinstall;
            case ImageKind::Damaged:
                return file + L" is damaged: it is shorter than its own headers say." + reinstall;
            case ImageKind::DosOr16Bit:
                return file + L" is a 16-bit or MS-DOS file, not a 32-bit DLL." + reinstall;
            case ImageKind::Wide:
                return file + L" is a 64-bit DLL; this program is 32-bit and can only load a 32-bit control." +
                       reinstall;
            case ImageKind::OtherMachine:
                return file + L" is built for " + MachineName(image.machine()) + L", not for x86." + reinstall;
            case ImageKind::Program:
                return file + L" is a program, not a DLL: the class is registered with the wrong file." + reinstall;
            case ImageKind::Dll:
                break;
        }
        // These answers come from a factory, so the file and its imports did load.
        const bool loaded = failure_ == CLASS_E_CLASSNOTAVAILABLE || failure_ == CLASS_E_NOTLICENSED;
        if (!loaded) {
            if (const auto missing = ImportWalk(server.path).FirstMissing(server.path, image))
                return MissingDll(server.path, *missing);
        }
        if (!image.Exports("DllGetClassObject"))
            return file +
                   L" exports no DllGetClassObject, so it is not an ActiveX control: the class is registered "
                   L"with the wrong file." +
                   reinstall;
        if (failure_ == CLASS_E_CLASSNOTAVAILABLE)
            return file + L" does not provide the " + label + L" that the registry names for " + Quoted(progId_) +
                   L": the registration belongs to another version of the file. Register this file again with: " +
                   RegisterCommand(twoViews_, server.path) + L".";
        if (failure_ == CLASS_E_NOTLICENSED)
            return L"The control " + Quoted(progId_) +
                   L" needs a licence that this machine does not have. Install it with the vendor's setup "
                   L"program, which installs the licence too.";
        if (EqualNoCase(entry.threadingModel, L"Free"))
            return L"The " + label + L" of " + Quoted(progId_) +
                   L" is registered with ThreadingModel \"Free\": COM creates it on a thread of its own, and from "
                   L"there it cannot appear in this program's window. Its registration should say \"Apartment\" or "
                   L"\"Both\"; install or register the control again.";
        return {};
    }

    std::wstring MissingDll(const std::wstring& server, const MissingImport& missing) const {
        const std::wstring runtime = RuntimeOf(missing.dll);
        const std::wstring named = missing.dll + (runtime.empty() ? L"" : L" (" + runtime + L")");
        std::wstring text = L"The control's file " + Quoted(server) + L" cannot be loaded: ";
        text += EqualNoCase(missing.importer, server) ? L"it" : Quoted(missing.importer) + L", which it uses,";
        if (missing.wrongKind.empty())
            text += L" needs " + named + L", which Windows cannot find.";
        else
            text += L" needs " + named + L", and the only one found, " + Quoted(missing.wrongKind) +
                    L", is not a 32-bit DLL.";
        if (Lower(missing.dll).starts_with(L"msvbvm"))
            text += L" Install " + runtime + L", then try again.";
        else if (!runtime.empty())
            text += L" Install the 32-bit (x86) Visual C++ Redistributable that provides it, then try again.";
        else
            text += L" Install what provides it, or put its 32-bit version in " + Quoted(FolderOf(server)) + L".";
        return text;
    }

    std::wstring progId_;
    HRESULT failure_;
    bool twoViews_;
    std::wstring placeholderFile_;
    std::wstring registerHint_;
};

void ReadVersion(const std::wstring& path, RegisteredControl& control) {
    const VersionRecord record(path.c_str());
    if (record.empty()) return;
    control.version = record.String(L"FileVersion");
    control.company = record.String(L"CompanyName");
    if (control.version.empty()) control.version = record.FixedVersion();
}

}  // namespace

std::wstring DiagnoseControlCreation(std::wstring_view progId, HRESULT failure) noexcept {
    try {
        return Diagnosis(progId, failure).Run();
    } catch (const std::exception&) {
        return {};  // out of memory: the platform's own text still goes out
    }
}

RegisteredControl DescribeRegisteredControl(std::wstring_view progId) noexcept {
    RegisteredControl control;
    try {
        if (progId.empty() || progId.find(L'\\') != std::wstring_view::npos) return control;
        const auto clsidText = ReadClassesText(std::wstring(progId) + L"\\CLSID", kView32);
        if (!clsidText) return control;
        const auto clsid = CanonicalGuid(*clsidText);
        control.clsid = clsid.value_or(Trim(*clsidText));
        if (!clsid) return control;
        const ClassEntry entry = ReadClass(*clsid, kView32);
        if (!entry.inproc || entry.inproc->empty()) return control;
        control.file = *entry.inproc;
        const ServerFile file = ResolveServerFile(control.file);
        if (file.exists) ReadVersion(file.path, control);
    } catch (const std::exception&) {
        // out of memory: what was found so far
    }
    return control;
}

NumberedError CreationError(std::wstring_view progId, HRESULT hr) {
    NumberedError base = ErrorFromHresult(hr, kProgramSource);
    const std::wstring diagnosis = DiagnoseControlCreation(progId, hr);
    std::wstring text = L"Cannot create the control \"" + std::wstring(progId) + L"\"";
    if (diagnosis.empty()) return NumberedError(base.Number(), base.Source(), text + L": " + base.Description());
    wchar_t code[16];
    wsprintfW(code, L"0x%08X", static_cast<unsigned>(hr));
    text += L". " + diagnosis + L"\n\n(" + code + L": " + base.Description() + L")";
    return NumberedError(base.Number(), base.Source(), std::move(text));
}

NumberedError StepError(std::wstring_view progId, const wchar_t* step, HRESULT hr) {
    NumberedError base = ErrorFromHresult(hr, kProgramSource);
    return NumberedError(
        base.Number(), base.Source(),
        L"The control \"" + std::wstring(progId) + L"\" could not be " + step + L": " + base.Description());
}

NumberedError NotAControlError(std::wstring_view progId) {
    return NumberedError(E_NOINTERFACE, kProgramSource,
                         L"The object registered as \"" + std::wstring(progId) +
                             L"\" is not an ActiveX control: it cannot be placed on a window (it has no "
                             L"IOleObject interface). Check that the ProgID names the control's class.");
}
