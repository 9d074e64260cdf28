@echo off
rem Registers qvWMI.dll and ostrel.dll from this folder (the @ARCH@ package).
rem Run it from an elevated prompt, in the folder the DLLs are to stay in.
setlocal
set "here=%~dp0"
for %%f in (qvWMI.dll ostrel.dll wmicheck.exe) do (
    if not exist "%here%%%f" (
        echo install: %%f is missing from %here% - unpack the whole zip into one folder.
        exit /b 2
    )
)
if /i "@ARCH@"=="x64" if /i not "%PROCESSOR_ARCHITECTURE%"=="AMD64" if /i not "%PROCESSOR_ARCHITEW6432%"=="AMD64" (
    echo install: this is the x64 package and this Windows is 32-bit - use the x86 package.
    exit /b 2
)
rem Registration writes under HKLM\Software\Classes: try that first.
reg add "HKLM\Software\Classes\qvWMI.InstallCheck" /f >nul 2>&1
if errorlevel 1 (
    echo install: not elevated - run install.cmd from a prompt opened with "Run as administrator".
    exit /b 5
)
reg delete "HKLM\Software\Classes\qvWMI.InstallCheck" /f >nul 2>&1
for %%f in (qvWMI.dll ostrel.dll) do (
    regsvr32 /s "%here%%%f"
    if errorlevel 1 (
        echo install: regsvr32 %%f failed.
        exit /b 1
    )
)
echo install: qvWMI.dll and ostrel.dll registered from %here%
exit /b 0
