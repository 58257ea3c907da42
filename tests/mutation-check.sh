#!/usr/bin/env bash
# Removes one defence at a time in a scratch copy of the tree, rebuilds, runs the test that must
# notice, and reports "caught" (the test failed) or "SURVIVED" (it passed). Each test is first run
# on the unchanged copy, where it must pass. Not part of ./run-tests.sh: a full build plus a
# rebuild per defence take about 20 minutes on 2 cores here.
#   tests/mutation-check.sh [scratch folder]      (default: a fresh folder under /tmp)
#   ONLY='regex' tests/mutation-check.sh ...       only the mutations whose names match
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-/tmp/varnelo-mutants-$$}
# Given the same folder again, its build is reused: only what changed since is rebuilt.
mkdir -p "$scratch"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch" -xf -
cd "$scratch"
echo "scratch copy: $scratch"
cmake --preset win64 >/dev/null && cmake --build --preset win64 >/dev/null || { echo "baseline build failed"; exit 1; }

source cmake/wine-session.sh
trap wine_session_stop EXIT
wine_session_start >/dev/null
wine_retry 3 wine build/win64/bin/trust_test_root.exe "$(winepath -w build/win64/signing/ca.der)"

bin=build/win64/bin
names=() files=() substitutions=() programs=() filters=()
# mutation <name> <file> <perl substitution over the whole file> <test program> <gtest filter>
# Not planted: cmd.exe or netcfg.exe started by a bare name. The copy that runs them was started
# in the system folder, so a bare name finds the same program there; only the two together would
# be a fault. VarneloService.exe by a bare name is planted: it lies in the installation.
mutation() { names+=("$1") files+=("$2") substitutions+=("$3") programs+=("$4") filters+=("$5"); }
mutation "no DLL-search restriction" uninstaller/startup.cpp \
  's/::SetDefaultDllDirectories\(LOAD_LIBRARY_SEARCH_SYSTEM32\);\s*::SetDllDirectoryW\(L""\);//' \
  uninstaller_test 'DllSearch.*'
mutation "rotation at 6 MiB" service/log/log_line.h \
  's/kLogRotateSize = 0x500000/kLogRotateSize = 0x600000/' \
  service_log_test 'LogRotation.*'
mutation "publisher compared without case" service/trust/trust.cpp \
  's/return std::wcsstr\(name\.c_str\(\), kExpectedPublisher\) != nullptr;/std::wstring upper = name, wanted = kExpectedPublisher; _wcsupr(&upper[0]); _wcsupr(&wanted[0]); return std::wcsstr(upper.c_str(), wanted.c_str()) != nullptr;/' \
  service_test 'CallerTrust.EveryKindOfCallerIsJudgedAndLogged'
mutation "WinVerifyTrust ignored" service/trust/trust.cpp \
  's/bool passed\(\) const \{ return result_ == 0; \}/bool passed() const { return true; }/' \
  service_test 'CallerTrust.EveryKindOfCallerIsJudgedAndLogged'
mutation "kill-on-close removed" service/core/core_launch.cpp \
  's/JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE \|//' \
  core_test 'CoreLaunch.ClientStartsReadsAndLosesItsCoreWithItsJob'
mutation "hard-link refusal removed" service/log/link_rules.cpp \
  's/return expect_directory \|\| link_count <= 1;/return true;/' \
  service_log_test 'LogInProcess.PlantedHardLinkIsNotWrittenThrough'
mutation "VarneloService.exe by bare name" uninstaller/removal_worker.cpp \
  's/if \(::GetFileAttributesW\(program\.c_str\(\)\) == INVALID_FILE_ATTRIBUTES\) return;//; s/info\.lpFile = program\.c_str\(\);/info.lpFile = kServiceProgram;/' \
  removal_test '*RefusesADirectoryNotNamedVarnelo'
mutation "restart delays 5000/30000/30000" service/setup/install.cpp \
  's/kRestartDelaysMs\[\] = \{5000, 30000, 60000\}/kRestartDelaysMs[] = {5000, 30000, 30000}/' \
  install_test 'Installation.FailureActionsHandedToTheControlManager'
mutation "purge wait cut to 6 polls" service/setup/uninstall_service.cpp \
  's/kKeyPolls = 60;/kKeyPolls = 6;/' \
  install_test '*UninstallWaitsForTheLastHandleAndReportsAFailedDelete'
mutation "DeletePathSilently takes a drive root" uninstaller/install_location.cpp \
  's/if \(!IsPlainAbsolutePath\(list\)\) return ERROR_BAD_PATHNAME;//' \
  install_location_test 'InstallLocation.DeletePathSilentlyRefusesADriveRoot'
mutation "foreign log folder kept" service/log/log_folder.cpp \
  's/if \(!IsLogFolderOwnerTrusted\(sd\.get\(\)\)\) return FolderVerdict::kForeign;//' \
  service_log_test 'LogInProcess.FolderOfAnotherOwnerIsMovedAsideByTheService'
mutation "no back-off after a failed rotation" service/log/service_log.cpp \
  's/g_log.last_rotation = now;  \/\/ before any rename/(void)now;  \/\/ before any rename/' \
  service_log_test 'LogInProcess.FailedRotationWaitsItsMinute'
mutation "renamed-image check not called" service/trust/trust.cpp \
  's/return MatchCallerImage\(FileIdentityOf\(named\), MappedImageIdentity\(caller\)\);/(void)caller; return named != INVALID_HANDLE_VALUE ? ImageMatch::kSameFile : ImageMatch::kUnknown;/' \
  pipe_hostile_test 'CallerTrust.CallerWhoseMappedImageIsAnotherFileIsRefused'
mutation "failed launch step leaves the core" service/core/core_launch.cpp \
  's/::TerminateProcess\(core\.process\.get\(\), 1\);\n  return RefuseFailedCall/return RefuseFailedCall/' \
  core_test 'CoreLaunch.FailedLaunchStepsLeaveNoCoreJobOrHandle'
mutation "caller without a SID armed anyway" service/watchdog/proxy_watchdog.cpp \
  's/if \(armed\.user_sid\.empty\(\)\) \{/if (false) {/' \
  watchdog_test 'Watchdog.CallersThatCannotBeWatchedGetDegradedAnswers'
mutation "an unopenable hive reported as missing" service/watchdog/proxy_cleanup.cpp \
  's/return result == ERROR_FILE_NOT_FOUND \? "user_hive_unavailable" : "regopen_failed";/return "user_hive_unavailable";/' \
  watchdog_test 'ProxyCleanup.SkipsAHiveThatIsNotThereOrCannotBeOpened'
mutation "copy failure runs the program in place" uninstaller/startup.cpp \
  's/  \*error = text;\n  return Relocation::kFailed;/  return Relocation::kRunsHere;/' \
  uninstaller_test 'Relaunch.CopyErrorWhenTheCopysFolderCannotBeMade'

mutation "copy trusted by its folder's name" uninstaller/startup.cpp \
  's/#include "uninstaller\/main_wnd.h"/#include "uninstaller\/install_location_rules.h"\n#include "uninstaller\/main_wnd.h"/; s/  DWORD failure = ERROR_SUCCESS;\n/  DWORD failure = ERROR_SUCCESS;\n  if (RunsFromCopyFolder(GetOwnModulePath(), SystemTempFolder())) return Relocation::kRunsHere;\n/' \
  uninstaller_test 'Relaunch.AFolderNamedLikeTheCopysIsNotTrusted'
mutation "self-deletion with the user's AutoRun and PATH" uninstaller/temp_copy.cpp \
  's/StartHiddenCommand\(arguments, SelfDeletionEnvironment\(WindowsDirectory\(\), system\)\);/StartHiddenCommand(arguments, std::wstring());/' \
  removal_test 'Removal.RemovesAnInstalledProductAndLeavesItsNeighbours'
mutation "copy not read back" uninstaller/temp_copy.cpp \
  's/return check == bytes \? ERROR_SUCCESS : kCopyAlteredError;/return ERROR_SUCCESS;/' \
  uninstaller_test 'Relaunch.CopyChangedBeforeItIsHeldGivesTheCopyError'
mutation "signer judged only by WinVerifyTrust" service/trust/trust.cpp \
  's/const SignerVerdict offline = JudgeSignerOffline\(file\);/const SignerVerdict offline = SignerVerdict::kAccepted;/' \
  service_test 'CallerTrust.EveryKindOfCallerIsJudgedAndLogged'
mutation "unlimited pipe instances" service/pipe/pipe_server.cpp \
  's/static_cast<DWORD>\(kPipeInstances\), kPipeBufferSize/PIPE_UNLIMITED_INSTANCES, kPipeBufferSize/' \
  pipe_hostile_test 'PipeName.NobodyCanAddAnInstanceBesideTheService'
mutation "trusted callers give way like any other" service/pipe/pipe_server.cpp \
  's/if \(verdict == CallerCheck::Verdict::kTrusted\) return GiveWayRank::kTrusted;/if (verdict == CallerCheck::Verdict::kTrusted) return GiveWayRank::kUnjudged;/' \
  pipe_hostile_test 'StalledClients.SlowSignedClientsAreServedAmongACrowd'
mutation "trusted drops within the budget" service/pipe/pipe_server.cpp \
  's/  if \(trusted\) \{\n    write_lines\(\);\n  \} else \{/  if (false) {\n  } else {/' \
  pipe_hostile_test 'UnauthenticatedFlood.EachKindKeepsItsLinesAndTrustedDropsAreAllLogged'
mutation "creation time compared with the connection only" service/trust/caller_rules.cpp \
  's/return created > connected_at && created <= opened_at;/return created > connected_at;/' \
  pipe_hostile_test 'CallerTrust.OnlyAProcessCreatedWhileConnectingIsRefused'
mutation "hand-over reopens the pid with the debug privilege" service/core/core_launch.cpp \
  's/const UniqueHandle target = ReopenCaller\(caller, PROCESS_DUP_HANDLE, label\);/const UniqueHandle target(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, caller.pid()));/' \
  core_test 'CoreLaunch.FailedHandOversStillStartTheCoreAndKeepTheJob'

run_test() {  # program filter -> 0 when the test passed
  timeout 300 wine "$bin/$1.exe" --gtest_color=no --gtest_filter="$2" </dev/null >"$scratch/last-test.log" 2>&1
}

results=()
for i in "${!names[@]}"; do
  name=${names[$i]} file=${files[$i]} program=${programs[$i]} filter=${filters[$i]}
  [[ -z "${ONLY:-}" || "$name" =~ $ONLY ]] || continue
  if ! run_test "$program" "$filter"; then
    results+=("$name|baseline fails: $program $filter")
    echo "${results[-1]}"
    continue
  fi
  cp "$file" "$file.orig"
  perl -0pi -e "${substitutions[$i]}" "$file"
  if cmp -s "$file" "$file.orig"; then
    results+=("$name|not applied: the code no longer matches")
  elif ! cmake --build --preset win64 >"$scratch/last-build.log" 2>&1; then
    results+=("$name|does not build (see last-build.log)")
  elif run_test "$program" "$filter"; then
    results+=("$name|SURVIVED: $program $filter passed")
  else
    results+=("$name|caught: $program $filter failed")
  fi
  mv "$file.orig" "$file"
  touch "$file"  # newer than the mutant's objects, so the build restores them
  cmake --build --preset win64 >"$scratch/last-build.log" 2>&1 || { echo "restoring $file failed"; exit 1; }
  echo "${results[-1]}"
done

echo
echo "| Mutation | Result |"
echo "|---|---|"
for result in "${results[@]}"; do echo "| ${result%%|*} | ${result#*|} |"; done
