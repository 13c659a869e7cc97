; Orvalen's installer: machine-wide and elevated, since the program keeps
; its settings in HKLM and sets the clock for everyone.
;
;   makensis -DPROGRAM32=Orvalen.exe -DPROGRAM64=Orvalen64.exe -DOUTFILE=setup.exe -DICON=main.ico
;            -DRESOURCES=..\resources -DOPENSSL_LICENSE=LICENSE.txt orvalen.nsi
;
; One 32-bit setup.exe carries both programs and installs the one that
; matches Windows; either keeps its settings in the 32-bit registry view, and
; so does the installer.
;
; Silent use: setup.exe /S [/LOGON=0|1] [/D=folder]   (/D= last, unquoted)
;             uninstall.exe /S

!ifdef AMD64
  ; The same installer as a 64-bit program with the 64-bit Orvalen.exe alone:
  ; a test vehicle for machines that run no 32-bit code, never shipped.
  Target amd64-unicode
!else
  Unicode true
!endif
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinVer.nsh
!include Sections.nsh
!include WinMessages.nsh
!include x64.nsh
!include "logon_task.nsh"

; The version, the window title, the settings key and the quit command are
; the program's own, read from its headers.
!searchparse /file "${RESOURCES}/product.h" '#define ORVALEN_VERSION "' VERSION '"'
!searchparse /file "${RESOURCES}/product.h" '#define ORVALEN_WINDOW_TITLE "' WINDOW_TITLE '"'
; Every version's caption begins the same way, then names its version.
!searchparse "${WINDOW_TITLE}" "Orvalen" TITLE_AFTER_NAME "${VERSION}"
!define TITLE_OF_ANY_VERSION "Orvalen${TITLE_AFTER_NAME}"
!searchparse /file "${RESOURCES}/product.h" '#define ORVALEN_SETTINGS_KEY "' SETTINGS_KEY_C '"'
!searchreplace SETTINGS_KEY "${SETTINGS_KEY_C}" "\\" "\"
!searchparse /file "${RESOURCES}/resource.h" '#define CMD_QUIT ' CMD_QUIT 
!searchparse /file "${RESOURCES}/resource.h" '#define IDC_SERVER_LIST ' IDC_SERVER_LIST
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Orvalen"
!define AUTOSTART_VALUE "Orvalen"
; How long a running Orvalen may take to end when asked, in milliseconds:
; a pass it interrupts still corrects the clock first.
!define QUIT_WAIT_MS 15000
; How long the ended process may hold its program file, in tenths.
!define RELEASE_WAIT_TENTHS 50

Name "Orvalen"
OutFile "${OUTFILE}"
; No InstallDir: .onInit picks the folder once it can read the 32-bit view.
BrandingText "Orvalen ${VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Orvalen"
VIAddVersionKey /LANG=1033 "FileDescription" "Orvalen Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Orvalen"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_COMPONENTSPAGE_TEXT_TOP "Orvalen keeps this computer's clock right from the notification area. Choose whether it starts by itself when someone logs on."
!define MUI_COMPONENTSPAGE_TEXT_COMPLIST "Options:"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Orvalen.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Open Orvalen now"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; 1 when a running Orvalen did not end when asked.
Var StillRunning

; The log-on start runs Orvalen.exe from the install folder, on Vista and
; later through a task with the highest privileges: whoever may change what
; the folder holds could have their own program run as administrator. A
; folder of one's own choosing, such as C:\Orvalen, inherits write rights for
; every user who logs on. So the folder gets rights of its own, owned by
; Administrators: Administrators and SYSTEM full control (FA), Users read and
; execute (0x1200a9), nothing inherited (P).
!define INSTALL_FOLDER_RIGHTS "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
!define SE_FILE_OBJECT 1
; OWNER_, DACL_ and PROTECTED_DACL_SECURITY_INFORMATION.
!define OWNER_AND_OWN_DACL 0x80000005

; Creates the install folder and gives it those rights, handed on to what it
; already holds. One call replaces owner and rights together, the same way
; on Windows XP and later. Fails the run when they cannot be set: nothing is
; installed into a folder that others may change.
Function TakeInstallFolder
  ; Those rights reach all the folder holds: a folder with anything in it but
  ; the files an install writes anew, such as Program Files itself, is not
  ; taken, unless an earlier install took it (a skin may sit beside the
  ; program there).
  ; Nor a link to another folder (a junction) made in its place: the rights
  ; would reach where it leads, and whoever made the link keeps it and may
  ; point it elsewhere later. A link further up is not refused: Program
  ; Files is at times moved to another drive through one.
  System::Call 'kernel32::GetFileAttributesW(w "$INSTDIR") i .r0'
  IntOp $1 $0 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT
  ${If} $0 <> -1
  ${AndIf} $1 <> 0
    MessageBox MB_ICONSTOP "$INSTDIR is a link to another folder. Choose a folder that is not a link." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != $INSTDIR
    ClearErrors
    FindFirst $0 $1 "$INSTDIR\*"
    ; A folder that is there but cannot be listed may hold anything.
    ${If} ${Errors}
    ${AndIf} ${FileExists} "$INSTDIR"
      StrCpy $1 "?"
    ${EndIf}
    ${DoUntil} $1 == ""
      ${If} $1 != "."
      ${AndIf} $1 != ".."
      ${AndIf} $1 != "Orvalen.exe"
      ${AndIf} $1 != "uninstall.exe"
      ${AndIf} $1 != "Orvalen.old"
      ${AndIf} $1 != "OpenSSL-LICENSE.txt"
        MessageBox MB_ICONSTOP "$INSTDIR already holds other files, and Orvalen's folder may be changed by administrators only. Choose an empty or a new folder." /SD IDOK
        SetErrorLevel 2
        Abort
      ${EndIf}
      FindNext $0 $1
    ${Loop}
    FindClose $0
  ${EndIf}
  CreateDirectory "$INSTDIR"
  ; Through registers: a folder name may hold brackets and commas.
  StrCpy $6 "$INSTDIR"
  StrCpy $7 "${INSTALL_FOLDER_RIGHTS}"
  StrCpy $0 -1
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r7, i 1, *p .r1, p 0) i .r2'
  ${If} $2 <> 0
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r3, *i .r4)'
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r4, *p .r5, *i .r4)'
    System::Call 'advapi32::SetNamedSecurityInfoW(w r6, i ${SE_FILE_OBJECT}, i ${OWNER_AND_OWN_DACL}, p r3, p 0, p r5, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  ${If} $0 <> 0
    MessageBox MB_ICONSTOP "Orvalen runs with administrator rights from its folder, but the rights of $INSTDIR could not be set so that only administrators may change it (error $0). Choose another folder." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
FunctionEnd

; A running program's file may be renamed: moved aside, it goes at the next
; restart, and that Orvalen runs on until then. Booked under its own name, a
; program installed there again before the restart would go instead. One
; moved aside before goes now, once its Orvalen has ended.
!macro PutProgramAside folder
  ${If} ${FileExists} "${folder}\Orvalen.exe"
    Delete "${folder}\Orvalen.old"
    Rename "${folder}\Orvalen.exe" "${folder}\Orvalen.old"
  ${EndIf}
  Delete /REBOOTOK "${folder}\Orvalen.old"
!macroend

; Asks a running Orvalen to quit, as its tray menu's "Quit" does, and waits
; a bounded time until its window has gone.
!macro DefineEndRunningOrvalen un
Function ${un}EndRunningOrvalen
  StrCpy $StillRunning 0
  ; Timed by the clock: a hung window makes each request wait its 2 s.
  System::Call 'kernel32::GetTickCount() i .R1'
  ${Do}
    ; Its boxes carry the same caption and come first: the main window is
    ; the one that holds the list. An upgrade ends an Orvalen of any version.
    StrCpy $R0 0
    ${Do}
      FindWindow $R0 "#32770" "" "" $R0
      ${IfThen} $R0 = 0 ${|} ${ExitDo} ${|}
      System::Call 'user32::GetWindowText(p R0, t .R3, i ${NSIS_MAX_STRLEN})'
      StrLen $R2 "${TITLE_OF_ANY_VERSION}"
      StrCpy $R3 $R3 $R2
      GetDlgItem $R2 $R0 ${IDC_SERVER_LIST}
      ${IfThen} $R3 != "${TITLE_OF_ANY_VERSION}" ${|} StrCpy $R2 0 ${|}
    ${LoopUntil} $R2 <> 0
    ${IfThen} $R0 = 0 ${|} ${ExitDo} ${|}
    System::Call 'kernel32::GetTickCount() i .R4'
    IntOp $R4 $R4 - $R1
    ${If} $R4 >= ${QUIT_WAIT_MS}
      StrCpy $StillRunning 1
      ${ExitDo}
    ${EndIf}
    ; A hung window must not hang the set-up with it.
    SendMessage $R0 ${WM_COMMAND} ${CMD_QUIT} 0 /TIMEOUT=2000
    Sleep 100
  ${Loop}
FunctionEnd

; The window goes before the process does: its file stays in use until the
; process has ended.
Function ${un}DeleteProgramFile
  StrCpy $R1 0
  ${Do}
    Delete "$INSTDIR\Orvalen.exe"
    ${IfNotThen} ${FileExists} "$INSTDIR\Orvalen.exe" ${|} ${ExitDo} ${|}
    ${IfThen} $R1 >= ${RELEASE_WAIT_TENTHS} ${|} ${ExitDo} ${|}
    Sleep 100
    IntOp $R1 $R1 + 1
  ${Loop}
  ; Still in use by an Orvalen this run cannot see: another user's, or any
  ; while a deployment runs the set-up as SYSTEM.
  !insertmacro PutProgramAside "$INSTDIR"
FunctionEnd

; Ends a running Orvalen and removes its program file; on failure asks the
; user to close it (a silent run gives up at once) and fails the run.
Function ${un}ReleaseProgram
  ${Do}
    Call ${un}EndRunningOrvalen
    ${If} $StillRunning = 0
      Call ${un}DeleteProgramFile
      ${IfNotThen} ${FileExists} "$INSTDIR\Orvalen.exe" ${|} ${ExitDo} ${|}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "Orvalen is still running and did not close.$\r$\n$\r$\nClose it (tray icon, Quit), then choose Retry." \
        /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Abort
    retry:
  ${Loop}
FunctionEnd

; Leaves schtasks' exit code in $0 (0: removed; "error": it did not run).
Function ${un}DeleteLogonTask
  ${If} ${AtLeastWinVista}
    nsExec::Exec '"$SYSDIR\schtasks.exe" /delete /tn "${LOGON_TASK_NAME}" /f'
    Pop $0
  ${EndIf}
FunctionEnd
!macroend
!insertmacro DefineEndRunningOrvalen ""
!insertmacro DefineEndRunningOrvalen "un."

Section "Orvalen (required)" SecProgram
  SectionIn RO
  SetShellVarContext all
  Call TakeInstallFolder
  Call ReleaseProgram
  SetOutPath "$INSTDIR"
!ifdef AMD64
  File "/oname=Orvalen.exe" "${PROGRAM64}"
!else
  ; Only x64 Windows runs the 64-bit program: Windows on ARM runs the 32-bit one.
  ${If} ${IsNativeAMD64}
    File "/oname=Orvalen.exe" "${PROGRAM64}"
  ${Else}
    File "/oname=Orvalen.exe" "${PROGRAM32}"
  ${EndIf}
!endif
  ; A file that was there keeps rights its owner may have given it; written
  ; anew, as the program file is, it has the folder's. One that cannot be
  ; removed (held open by whoever made it) is not taken for the new one.
  Delete "$INSTDIR\OpenSSL-LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  StrCpy $0 1
  ${If} ${FileExists} "$INSTDIR\OpenSSL-LICENSE.txt"
  ${OrIf} ${FileExists} "$INSTDIR\uninstall.exe"
    StrCpy $0 0
  ${Else}
    ; Orvalen.exe holds OpenSSL, whose licence (Apache 2.0) travels with it.
    File "/oname=OpenSSL-LICENSE.txt" "${OPENSSL_LICENSE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
  ${EndIf}
  ${If} $0 = 0
  ${OrIfNot} ${FileExists} "$INSTDIR\Orvalen.exe"
  ${OrIfNot} ${FileExists} "$INSTDIR\uninstall.exe"
    MessageBox MB_ICONSTOP "Orvalen could not be written to $INSTDIR." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; A copy installed elsewhere before goes: its uninstaller would take this
  ; one's entry, log-on start and settings with it. Its program has ended.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    ; Unless it is this folder by another spelling (a short name, say): a
    ; file made here would show there.
    GetTempFileName $1 "$INSTDIR"
    ${GetFileName} $1 $2
    ${IfNot} ${FileExists} "$0\$2"
      !insertmacro PutProgramAside "$0"
      ; Held, with another one held aside already: it goes under its own name.
      Delete /REBOOTOK "$0\Orvalen.exe"
      Delete "$0\uninstall.exe"
      Delete "$0\OpenSSL-LICENSE.txt"
      RMDir /REBOOTOK "$0"
    ${EndIf}
    Delete $1
  ${EndIf}

  CreateDirectory "$SMPROGRAMS\Orvalen"
  CreateShortcut "$SMPROGRAMS\Orvalen\Orvalen.lnk" "$INSTDIR\Orvalen.exe"
  CreateShortcut "$SMPROGRAMS\Orvalen\Uninstall Orvalen.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Orvalen"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  ; "file,index": a comma in the folder's name would otherwise be taken for the index.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Orvalen.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; Whatever an earlier install arranged goes first: two starts at log-on
  ; would show the window through the hand-over.
  DeleteRegValue HKLM "${RUN_KEY}" "${AUTOSTART_VALUE}"
  Call DeleteLogonTask
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "StartAtLogon" 0
SectionEnd

Section "Start at log-on" SecLogon
  ${If} ${AtLeastWinVista}
    InitPluginsDir
    !insertmacro WriteLogonTaskXml "$PLUGINSDIR\logon-task.xml" "$INSTDIR\Orvalen.exe"
    nsExec::Exec '"$SYSDIR\schtasks.exe" /create /xml "$PLUGINSDIR\logon-task.xml" /tn "${LOGON_TASK_NAME}" /f'
    Pop $0
    ${If} $0 != 0
      MessageBox MB_ICONSTOP "The log-on task could not be created (schtasks: $0)." /SD IDOK
      ; Still chosen: a run again, without /LOGON, makes the task then.
      WriteRegDWORD HKLM "${UNINSTALL_KEY}" "StartAtLogon" 1
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${Else}
    WriteRegStr HKLM "${RUN_KEY}" "${AUTOSTART_VALUE}" '"$INSTDIR\Orvalen.exe" s'
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "StartAtLogon" 1
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The program, its Start-menu folder and its entry in Programs and Features."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLogon} "Starts Orvalen hidden in the notification area whenever someone logs on, so that the clock is corrected then, or on the schedule chosen in its window."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetRegView 32
  ; A folder given with /D= stays; an upgrade keeps the folder installed
  ; into; a first install goes to the Program Files of the program's width.
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    StrCpy $INSTDIR "$PROGRAMFILES\Orvalen"
    ${IfThen} ${IsNativeAMD64} ${|} StrCpy $INSTDIR "$PROGRAMFILES64\Orvalen" ${|}
  ${EndIf}

  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Orvalen sets the clock for everyone on this computer: an administrator must install it." /SD IDOK
    SetErrorLevel 740  ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}

  ; An upgrade keeps the choice made last time; a first install starts at log-on.
  ClearErrors
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "StartAtLogon"
  ${IfNot} ${Errors}
  ${AndIf} $0 = 0
    !insertmacro UnselectSection ${SecLogon}
  ${EndIf}

  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/LOGON=" $2
  ${IfNot} ${Errors}
    ${If} $2 == "1"
      !insertmacro SelectSection ${SecLogon}
    ${ElseIf} $2 == "0"
      !insertmacro UnselectSection ${SecLogon}
    ${Else}
      MessageBox MB_ICONSTOP "/LOGON= takes 0 or 1, not '$2'." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 32
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Call un.ReleaseProgram
  ; The log-on task before the folder goes: one left behind (no Task
  ; Scheduler to remove it) would start, with administrator rights, whatever
  ; is later put where the program was. The folder, which only
  ; administrators may change, stays for another try.
  Call un.DeleteLogonTask
  ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "StartAtLogon"
  ${If} ${AtLeastWinVista}
  ${AndIf} $1 = 1
  ${AndIf} $0 != "0"
    ; Not removed: gone already (1), still there, or no schtasks to tell.
    nsExec::Exec '"$SYSDIR\schtasks.exe" /query /tn "${LOGON_TASK_NAME}"'
    Pop $0
    ${If} $0 != "1"
      MessageBox MB_ICONSTOP "Orvalen's log-on task could not be removed. Uninstall again once the Task Scheduler runs." /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  Delete "$INSTDIR\OpenSSL-LICENSE.txt"
  ; Only when empty: the folder may have been chosen to hold other files.
  RMDir /REBOOTOK "$INSTDIR"
  Delete "$SMPROGRAMS\Orvalen\Orvalen.lnk"
  Delete "$SMPROGRAMS\Orvalen\Uninstall Orvalen.lnk"
  RMDir "$SMPROGRAMS\Orvalen"

  DeleteRegValue HKLM "${RUN_KEY}" "${AUTOSTART_VALUE}"
  DeleteRegKey HKLM "${SETTINGS_KEY}"
  ; The pass history, by its own names: the folder goes only when empty. A
  ; link in the folder's place is not followed: it leads wherever the user
  ; who made it chose, and this runs as administrator.
  System::Call 'kernel32::GetFileAttributesW(w "$APPDATA\Orvalen") i .r0'
  IntOp $1 $0 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT
  ${If} $0 <> -1
  ${AndIf} $1 = 0
    Delete "$APPDATA\Orvalen\history.txt"
    Delete "$APPDATA\Orvalen\history.new"
    Delete "$APPDATA\Orvalen\history-*.bad"
    RMDir "$APPDATA\Orvalen"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
