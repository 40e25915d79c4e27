#!/usr/bin/env python3
"""Plants single faults in the system's code and checks that the test suite catches each one.

    scripts/mutate.py [--list] [--only TEXT] [--build DIR]

Each mutant changes one place in app/, storedname/ or provisioning/: a call dropped from a
cleanup, a flag or reserved argument of a subsystem or registry call changed, a status test
loosened or tightened (a warning taken as failure or as plain success), a failure's E_FAIL
dropped (so that a warning without its object, or a caught exception, keeps the status it had),
the stored name's length changed (its terminator dropped, or a byte too many), a registry key
left open, a wider access right asked for. The mutants are made in a copy of the tree, built with the
dev configuration and run against every test that links the system's code; a mutant that no
test fails "survives". Prints one line per mutant and a closing "N passed, N failed" where a
survivor counts as failed. A survivor that cannot change behaviour is listed in EQUIVALENT
below, with the reason, and counts as passed.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["app", "storedname", "provisioning"]

# Survivors that cannot be told apart from the original by any caller, with the reason.
FINAL_STATUS = ("the final status is a screening's (S_OK, MAPI_E_NOT_FOUND, E_FAIL) or a failure: "
                "a warning from any call is overwritten by a later call's status, so no status "
                "above zero reaches the end")
EQUIVALENT = {
    "storedname/storedname.cc: KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)":
        "KEY_WRITE holds KEY_SET_VALUE, the one right the handle is used for, and a store the "
        "user may not write refuses it as it refuses KEY_ALL_ACCESS",
    "provisioning/configure.cc: if (ProfileIsNew && FAILED(Status)) CallGuarded(DeleteNewProfile);":
        FINAL_STATUS,
    "provisioning/configure.cc: return isNew ? status == S_OK : (status == S_OK);": FINAL_STATUS,
    "provisioning/configure.cc: return isNew ? SUCCEEDED(status) : SUCCEEDED(status);": FINAL_STATUS,
}

# (kind, pattern, replacements): each match of the pattern on a line of a system source makes
# one mutant per replacement.
RULES = [
    ("cleanup", re.compile(r"^\s*(if \(\w+\) )?(\w+->Release\(\)|FreeProws\(\w+\)|MAPIFreeBuffer\(\w+\)|"
                           r"MAPIUninitialize\(\)|RegCloseKey\(key\)|\w+->Logoff\(0, 0, 0\)|"
                           r"ProfAdmin->DeleteProfile\(ProfileName, 0\));"), ["drop"]),
    ("access", re.compile(r"\bKEY_READ\b"), ["KEY_ALL_ACCESS", "KEY_WRITE | KEY_READ"]),
    ("access", re.compile(r"\bKEY_ALL_ACCESS\b"), ["KEY_WRITE", "KEY_READ"]),
    ("flag", re.compile(r"\bREG_OPTION_NON_VOLATILE\b"), ["REG_OPTION_VOLATILE"]),
    ("flag", re.compile(r"\bMAPI_DIALOG\b"), ["0"]),
    ("flag", re.compile(r"\bMAPI_MODIFY\b"), ["0"]),
    ("flag", re.compile(r"\bSERVICE_UI_ALWAYS \| SERVICE_UI_ALLOWED\b"),
     ["SERVICE_UI_ALLOWED", "SERVICE_UI_ALWAYS"]),
    ("flag", re.compile(r"\bMAPI_MULTITHREAD_NOTIFICATIONS\b"), ["0"]),
    ("flag", re.compile(r"\bMAPI_NO_MAIL \| "), [""]),
    ("flag", re.compile(r"\| MAPI_NEW_SESSION\b"), [""]),
    ("flag", re.compile(r"\bMAPI_EXPLICIT_PROFILE \| "), [""]),
    ("flag", re.compile(r"\bMAPI_USE_DEFAULT \| "), [""]),
    ("flag", re.compile(r"\bMAPI_EXTENDED \| "), [""]),
    ("argument", re.compile(r"(CreateProfile\(ProfileName, EmptyPassword, )0, 0\)"),
     [r"\g<1>1, 0)", r"\g<1>0, 1)"]),
    ("argument", re.compile(r"(CreateMsgService\(ExchangeService, ExchangeDisplayName, )0, 0\)"),
     [r"\g<1>1, 0)", r"\g<1>0, 1)"]),
    ("argument", re.compile(r"MAPIAdminProfiles\(0, "), ["MAPIAdminProfiles(1, "]),
    ("argument", re.compile(r"GetMsgServiceTable\(0, "), ["GetMsgServiceTable(1, "]),
    ("argument", re.compile(r"(AdminServices\(ProfileName, nullptr, )0, "), [r"\g<1>1, "]),
    ("argument", re.compile(r"(AdminServices\(ProfileName, nullptr, 0, )0, "), [r"\g<1>MAPI_DIALOG, "]),
    ("argument", re.compile(r"(OpenProfileSection\(\(LPMAPIUID\)pbGlobalProfileSectionGuid, nullptr,)\s*0,"),
     [r"\g<1> MAPI_MODIFY,"]),
    ("argument", re.compile(r"GetProps\(\(LPSPropTagArray\)&ScreenTags, 0, "),
     ["GetProps((LPSPropTagArray)&ScreenTags, 1, "]),
    ("argument", re.compile(r"DeleteProps\(\(LPSPropTagArray\)&AuthPackageTags, nullptr\)"),
     ["DeleteProps((LPSPropTagArray)&AuthPackageTags, (LPSPropProblemArray*)&ServiceRows)"]),
    ("argument", re.compile(r"MAPILogonEx\(0, "), ["MAPILogonEx(1, "]),
    ("argument", re.compile(r"Logoff\(0, 0, 0\)"), ["Logoff(0, 1, 0)", "Logoff(1, 0, 0)"]),
    ("argument", re.compile(r"DeleteProfile\(ProfileName, 0\)"), ["DeleteProfile(ProfileName, 1)"]),
    ("argument", re.compile(r"(nullptr, 0, )0, nullptr\);"), [r"\g<1>1, nullptr);"]),
    ("argument", re.compile(r"(RegOpenKeyExA\(HKEY_CURRENT_USER, [\w\[\]\.]+, )0, "), [r"\g<1>1, "]),
    ("argument", re.compile(r"(RegCreateKeyExA\(HKEY_CURRENT_USER, [\w\[\]\.]+, )0, "), [r"\g<1>1, "]),
    ("argument", re.compile(r"(RegSetValueExA\(key, StoredNameValue, )0, "), [r"\g<1>1, "]),
    ("argument", re.compile(r"REG_SZ, \(const BYTE\*\)ProfileName,"), ["REG_EXPAND_SZ, (const BYTE*)ProfileName,"]),
    ("status", re.compile(r"\bFAILED\((\w+)\)"), [r"(\1 != S_OK)"]),
    ("status", re.compile(r"\bSUCCEEDED\((\w+)\)"), [r"(\1 == S_OK)"]),
    ("status", re.compile(r"(\w+) != S_OK"), [r"FAILED(\1)"]),
    ("status", re.compile(r"status == S_OK"), ["SUCCEEDED(status)"]),
    ("status", re.compile(r"\bStatus == MAPI_E_NO_ACCESS\b"), ["FAILED(Status)"]),
    ("status", re.compile(r"\bStatus == MAPI_E_USER_CANCEL\b"), ["FAILED(Status)"]),
    ("status", re.compile(r"\bStatus == MAPI_E_NOT_FOUND\b"), ["FAILED(Status)"]),
    ("status", re.compile(r"complete \? S_OK : MAPI_E_NOT_FOUND"), ["complete ? S_OK : E_FAIL"]),
    # Only where a failure turns the status: the first assignments and the screening's are
    # overwritten or repeated before anything reads them.
    ("status", re.compile(r"^ {4,}Status = E_FAIL;"), ["drop"]),
    ("length", re.compile(r"\(DWORD\)strlen\(ProfileName\) \+ 1\b"),
     ["(DWORD)strlen(ProfileName)", "(DWORD)strlen(ProfileName) + 2"]),
]


def sources():
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith(".cc") and not name.endswith("_test.cc"):
                yield os.path.join(folder, name)


def mutants():
    for path in sources():
        with open(os.path.join(ROOT, path)) as f:
            lines = f.read().split("\n")
        for number, line in enumerate(lines, 1):
            if line.lstrip().startswith("//"):
                continue
            for kind, pattern, replacements in RULES:
                for match in pattern.finditer(line):
                    for replacement in replacements:
                        if replacement == "drop":
                            changed = line[:match.start()] + "{}" + line[match.end():]
                        else:
                            changed = line[:match.start()] + match.expand(replacement) + line[match.end():]
                        if changed != line:
                            yield kind, path, number, line, changed


def system_tests(build, tree):
    """A regular expression for the tests that can see a mutant: platform_tests links none of the
    system's code, so its tests are left out."""
    listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], cwd=tree,
                             stdout=subprocess.PIPE, text=True).stdout
    names = [test["name"] for test in json.loads(listing)["tests"]
             if not os.path.basename(test.get("command", [""])[0]).startswith("platform_tests")]
    return "^(" + "|".join(re.escape(name) for name in names) + ")$"


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--build", default="")
    args = parser.parse_args()
    chosen = [m for m in mutants() if args.only in f"{m[1]}:{m[2]} {m[4]}"]
    if args.list:
        for kind, path, number, line, changed in chosen:
            print(f"{kind:9} {path}:{number}: {changed.strip()}")
        return 0
    work = tempfile.mkdtemp(prefix="qs-mutate.")
    tree = os.path.join(work, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", ".git"))
    build = args.build or os.path.join(work, "build")
    configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 "-DQS_BENCH=OFF"]
    if not run(configure, tree) or not run(["cmake", "--build", build, "-j2"], tree):
        print("the unchanged tree does not build", file=sys.stderr)
        return 2
    tests = system_tests(build, tree)
    if not run(["ctest", "--test-dir", build, "-j2", "-R", tests], tree):
        print("the unchanged tree fails its tests", file=sys.stderr)
        return 2
    caught = survived = 0
    for kind, path, number, line, changed in chosen:
        target = os.path.join(tree, path)
        with open(target) as f:
            original = f.read()
        lines = original.split("\n")
        lines[number - 1] = changed
        with open(target, "w") as f:
            f.write("\n".join(lines))
        built = run(["cmake", "--build", build, "-j2"], tree)
        killed = not built or not run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure",
                                       "-R", tests], tree)
        with open(target, "w") as f:
            f.write(original)
        where = f"{path}:{number}: {changed.strip()}"
        reason = EQUIVALENT.get(f"{path}: {changed.strip()}")
        if killed:
            caught += 1
            print(f"caught    {kind:9} {where}" + ("" if built else " (does not build)"))
        elif reason:
            caught += 1
            print(f"equivalent {kind:8} {where}: {reason}")
        else:
            survived += 1
            print(f"SURVIVED  {kind:9} {where}")
    run(["cmake", "--build", build, "-j2"], tree)
    shutil.rmtree(work, ignore_errors=True)
    print(f"mutants: {caught + survived}, caught or equivalent: {caught}, survived: {survived}")
    print(f"{caught} passed, {survived} failed")
    return 0 if survived == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
