; The log-on start on Windows Vista and later: a Task Scheduler task.
; UAC does not start a program that asks for elevation from the Run key at
; log-on, so the task runs Orvalen with 's' at the highest level the user
; has. schtasks reads the definition from an XML file in UTF-16.

!include LogicLib.nsh
!include WordFunc.nsh

!searchparse /file "${__FILEDIR__}/../resources/product.h" '#define ORVALEN_LOGON_TASK "' LOGON_TASK_NAME '"'

; Writes the task definition for PROGRAM (a full path) to FILE.
; Leaves the error flag set when the file could not be written.
!macro WriteLogonTaskXml FILE PROGRAM
  Push "${PROGRAM}"
  Push "${FILE}"
  Call WriteLogonTaskXml
!macroend

Function WriteLogonTaskXml
  Exch $0  ; the file
  Exch
  Exch $1  ; the program
  Push $2
  ; A folder name may hold '&', which XML must not see bare.
  ${WordReplace} $1 "&" "&amp;" "+" $1
  ClearErrors
  FileOpen $2 $0 w
  ${IfNot} ${Errors}
    FileWriteUTF16LE /BOM $2 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
    FileWriteUTF16LE $2 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
    FileWriteUTF16LE $2 '  <RegistrationInfo>$\r$\n'
    FileWriteUTF16LE $2 '    <Description>Starts Orvalen in the notification area when a user logs on, to correct the clock.</Description>$\r$\n'
    FileWriteUTF16LE $2 '  </RegistrationInfo>$\r$\n'
    ; No user named: the trigger fires at every user's log-on.
    FileWriteUTF16LE $2 '  <Triggers>$\r$\n'
    FileWriteUTF16LE $2 '    <LogonTrigger>$\r$\n'
    FileWriteUTF16LE $2 '      <Enabled>true</Enabled>$\r$\n'
    FileWriteUTF16LE $2 '    </LogonTrigger>$\r$\n'
    FileWriteUTF16LE $2 '  </Triggers>$\r$\n'
    ; BUILTIN\Users, in the user's own session; an administrator's start is
    ; elevated without a prompt, anyone else's ends quietly at the clock probe.
    FileWriteUTF16LE $2 '  <Principals>$\r$\n'
    FileWriteUTF16LE $2 '    <Principal id="Users">$\r$\n'
    FileWriteUTF16LE $2 '      <GroupId>S-1-5-32-545</GroupId>$\r$\n'
    FileWriteUTF16LE $2 '      <RunLevel>HighestAvailable</RunLevel>$\r$\n'
    FileWriteUTF16LE $2 '    </Principal>$\r$\n'
    FileWriteUTF16LE $2 '  </Principals>$\r$\n'
    FileWriteUTF16LE $2 '  <Settings>$\r$\n'
    FileWriteUTF16LE $2 '    <MultipleInstancesPolicy>Parallel</MultipleInstancesPolicy>$\r$\n'
    FileWriteUTF16LE $2 '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>$\r$\n'
    FileWriteUTF16LE $2 '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>$\r$\n'
    FileWriteUTF16LE $2 '    <RunOnlyIfNetworkAvailable>false</RunOnlyIfNetworkAvailable>$\r$\n'
    FileWriteUTF16LE $2 '    <IdleSettings>$\r$\n'
    FileWriteUTF16LE $2 '      <StopOnIdleEnd>false</StopOnIdleEnd>$\r$\n'
    FileWriteUTF16LE $2 '      <RestartOnIdle>false</RestartOnIdle>$\r$\n'
    FileWriteUTF16LE $2 '    </IdleSettings>$\r$\n'
    FileWriteUTF16LE $2 '    <Enabled>true</Enabled>$\r$\n'
    ; With a periodic schedule the program stays in the tray for days: the
    ; default limit of 72 hours would end it.
    FileWriteUTF16LE $2 '    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>$\r$\n'
    FileWriteUTF16LE $2 '    <Priority>5</Priority>$\r$\n'
    FileWriteUTF16LE $2 '  </Settings>$\r$\n'
    FileWriteUTF16LE $2 '  <Actions Context="Users">$\r$\n'
    FileWriteUTF16LE $2 '    <Exec>$\r$\n'
    FileWriteUTF16LE $2 '      <Command>"$1"</Command>$\r$\n'
    FileWriteUTF16LE $2 '      <Arguments>s</Arguments>$\r$\n'
    FileWriteUTF16LE $2 '    </Exec>$\r$\n'
    FileWriteUTF16LE $2 '  </Actions>$\r$\n'
    FileWriteUTF16LE $2 '</Task>$\r$\n'
    FileClose $2
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
