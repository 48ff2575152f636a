; The Windows installer: a per-user install that needs no administrator rights. It puts the
; service and the reader library in the user's own programs folder, starts the service at every
; logon of that user (the Run key), lists it among the user's apps with its uninstaller, and
; starts it once at the end, silent installs (/S) included.
;
; Built on Linux by `make windows-installer`, which passes the three names below:
;   makensis -DVERSION=1.0.0 -DBUILD_DIR=/abs/build-windows -DOUT_FILE=/abs/Setup.exe tobran-quorvel.nsi

!macro REQUIRE_DEFINE NAME
  !ifndef ${NAME}
    !error "${NAME} is not defined: build with make windows-installer"
  !endif
!macroend
!insertmacro REQUIRE_DEFINE VERSION
!insertmacro REQUIRE_DEFINE BUILD_DIR
!insertmacro REQUIRE_DEFINE OUT_FILE

!include LogicLib.nsh

!define PRODUCT "Tobran-Quorvel"
!define EXE "Tobran-Quorvel.exe"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

; The service is a 64-bit program; an installer of the same kind needs no 32-bit layer in Windows.
Unicode true
Target amd64-unicode
Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
; Everything goes to the user's own folders and registry: no elevation prompt.
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; A reinstall or upgrade goes where the installed copy is (an install given /D=FOLDER).
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "2026 Tobran-Quorvel developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Ends every copy of the service running in this logon, and waits until each has gone, so that
; its files can be replaced or deleted. The service has no window and keeps no state, so ending
; it is its only stop and loses nothing. Copies of other logons are left alone: each user's
; service runs from that user's own folder.
!macro STOP_SERVICE_FUNCTION PREFIX
Function ${PREFIX}StopService
  System::Call 'kernel32::GetCurrentProcessId() i .r0'
  System::Call 'kernel32::ProcessIdToSessionId(i r0, *i .r7)'
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r0' ; TH32CS_SNAPPROCESS
  ${If} $0 P= -1
    Return
  ${EndIf}
  ; PROCESSENTRY32W on x64: dwSize first, the process id third, the name after 44 bytes of
  ; 32-bit fields (the 64-bit heap id counts as two), 568 bytes in all.
  System::Alloc 568
  Pop $1
  System::Call '*$1(i 568)'
  System::Call 'kernel32::Process32FirstW(p r0, p r1) i .r2'
  ${DoWhile} $2 <> 0
    System::Call '*$1(i, i, i .r3, i, i, i, i, i, i, i, i, &w260 .r4)'
    ${If} $4 == "${EXE}" ; case does not matter, as in Windows' file names
      System::Call 'kernel32::ProcessIdToSessionId(i r3, *i .r5) i .r6'
      ${If} $6 <> 0
      ${AndIf} $5 = $7
        System::Call 'kernel32::OpenProcess(i 0x100001, i 0, i r3) p .r6' ; SYNCHRONIZE | PROCESS_TERMINATE
        ${If} $6 P<> 0
          System::Call 'kernel32::TerminateProcess(p r6, i 1)'
          System::Call 'kernel32::WaitForSingleObject(p r6, i 10000)'
          System::Call 'kernel32::CloseHandle(p r6)'
        ${EndIf}
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::Process32NextW(p r0, p r1) i .r2'
  ${Loop}
  System::Free $1
  System::Call 'kernel32::CloseHandle(p r0)'
FunctionEnd
!macroend
!insertmacro STOP_SERVICE_FUNCTION ""
!insertmacro STOP_SERVICE_FUNCTION "un."

; The reader library in the folder is the simulated one this installer put there, not a
; vendor's copied over it: it still has the modification time the install recorded (File gives
; each file the time it had when the installer was built, so a vendor's library has another).
; Leaves 1 in $0 when it is ours or there is none, 0 when it is someone else's.
!macro SIMULATED_READER_FUNCTION PREFIX
Function ${PREFIX}IsOurReaderLibrary
  StrCpy $0 1
  ${If} ${FileExists} "$INSTDIR\libzkfp.dll"
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "SimulatedReaderTime"
    GetFileTime "$INSTDIR\libzkfp.dll" $2 $3
    ${If} $1 != "$2.$3"
      StrCpy $0 0
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro SIMULATED_READER_FUNCTION ""
!insertmacro SIMULATED_READER_FUNCTION "un."

Section
  ; A running copy holds its exe and libzkfp.dll open: end it before they are overwritten.
  Call StopService
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}\${EXE}"
  ; The simulated reader, unless a vendor's libzkfp.dll has been put here in its place: an
  ; upgrade or a repair keeps the real reader working.
  Call IsOurReaderLibrary
  ${If} $0 = 1
    File "${BUILD_DIR}\libzkfp.dll"
    GetFileTime "$INSTDIR\libzkfp.dll" $2 $3
    WriteRegStr HKCU "${UNINSTALL_KEY}" "SimulatedReaderTime" "$2.$3"
  ${Else}
    DetailPrint "Kept the reader library already in place: $INSTDIR\libzkfp.dll"
  ${EndIf}
  ; Its tool, for demos and page development: it drives the simulated reader of a service started
  ; with READER_SIM_CONTROL set (a user environment variable, read at logon).
  File "${BUILD_DIR}\reader-sim.exe"
  ; The console tool that says why a page cannot use the reader, for the user or a support desk.
  File "${BUILD_DIR}\tobran-quorvel-doctor.exe"
  File "/oname=copyright.txt" "..\linux\copyright"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${EXE}"'
  ; The entry of the user's app list (Settings, Apps; Programs and Features).
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Tobran-Quorvel developers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; Started now as the Run key starts it at the next logon. Exec does not wait: the service
  ; runs on after the installer has ended.
  Exec '"$INSTDIR\${EXE}"'
SectionEnd

Section Uninstall
  Call un.StopService
  ; A vendor's reader library is the user's, like the DLLs it needs: it stays.
  Call un.IsOurReaderLibrary
  ${If} $0 = 1
    Delete "$INSTDIR\libzkfp.dll"
  ${EndIf}
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\reader-sim.exe"
  Delete "$INSTDIR\tobran-quorvel-doctor.exe"
  Delete "$INSTDIR\copyright.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: files the user put beside ours (a vendor's library and the DLLs it needs)
  ; stay, and the folder with them.
  RMDir "$INSTDIR"
SectionEnd
