@echo off
rem Registers tessera-host.exe as the native-messaging host "com.tessera.host"
rem of Chrome, Chromium, Edge and Firefox, then runs its installation mode
rem ("tessera-host.exe -i", which installs the bank's CA chains). An installer
rem runs this after copying tessera-host.exe; the manifests are written next
rem to the program and the registry keys name them by absolute path.
rem
rem   install-windows.cmd [/user | /machine] [/host PATH] [/origin ORIGIN]...
rem                       [/nosetup] [/uninstall]
rem
rem   /user        keys under HKEY_CURRENT_USER (the default)
rem   /machine     keys under HKEY_LOCAL_MACHINE, for every user (as administrator)
rem   /host PATH   the program (default: tessera-host.exe beside this script)
rem   /origin ORIGIN  a page origin for the extension's managed allowlist, once
rem                per origin (the list replaces the built-in default): Chrome's
rem                and Edge's extension policy, Firefox's managed storage
rem   /nosetup     do not run "tessera-host.exe -i"
rem   /uninstall   remove the keys and manifests this script writes
rem
rem Exit code: 0 on success, 2 for a wrong command line, 3 when the program is
rem missing, 4 when a registry key cannot be written, otherwise the exit code
rem of "tessera-host.exe -i".
setlocal EnableExtensions DisableDelayedExpansion

set "NAME=com.tessera.host"
set "EXTENSION_ID=bdbjfcmjppjjdididholhjcipmciockm"
set "FIREFOX_ID=tessera@tessera.example"
set "ROOT=HKCU"
set "HOST=%~dp0tessera-host.exe"
set "ORIGINS="
set "JSONLIST="
set /a N=0
set "SETUP=1"
set "UNINSTALL="

:args
if "%~1"=="" goto parsed
if /i "%~1"=="/user" (
  set "ROOT=HKCU"
  shift
  goto args
)
if /i "%~1"=="/machine" (
  set "ROOT=HKLM"
  shift
  goto args
)
if /i "%~1"=="/host" (
  if "%~2"=="" goto usage
  set "HOST=%~f2"
  shift
  shift
  goto args
)
if /i "%~1"=="/origin" (
  if "%~2"=="" goto usage
  set "ORIGINS=1"
  call :addorigin "%~2"
  shift
  shift
  goto args
)
if /i "%~1"=="/nosetup" (
  set "SETUP="
  shift
  goto args
)
if /i "%~1"=="/uninstall" (
  set "UNINSTALL=1"
  shift
  goto args
)
:usage
echo install-windows.cmd: unknown or incomplete argument "%~1" 1>&2
exit /b 2

:parsed
for %%I in ("%HOST%") do set "HOSTDIR=%%~dpI"
set "CHROME_MANIFEST=%HOSTDIR%%NAME%.chrome.json"
set "FIREFOX_MANIFEST=%HOSTDIR%%NAME%.firefox.json"
set "FIREFOX_STORAGE=%HOSTDIR%%NAME%.firefox-storage.json"
set "CHROME_KEY=%ROOT%\Software\Google\Chrome\NativeMessagingHosts\%NAME%"
set "CHROMIUM_KEY=%ROOT%\Software\Chromium\NativeMessagingHosts\%NAME%"
set "EDGE_KEY=%ROOT%\Software\Microsoft\Edge\NativeMessagingHosts\%NAME%"
set "FIREFOX_KEY=%ROOT%\Software\Mozilla\NativeMessagingHosts\%NAME%"
set "CHROME_POLICY=%ROOT%\Software\Policies\Google\Chrome\3rdparty\extensions\%EXTENSION_ID%"
set "EDGE_POLICY=%ROOT%\Software\Policies\Microsoft\Edge\3rdparty\extensions\%EXTENSION_ID%"
set "FIREFOX_POLICY=%ROOT%\Software\Mozilla\ManagedStorage\%FIREFOX_ID%"

if defined UNINSTALL goto uninstall

if not exist "%HOST%" (
  echo install-windows.cmd: %HOST% does not exist 1>&2
  exit /b 3
)

rem The manifests lie beside the program and name it relative to themselves,
rem which Chrome, Edge and Firefox accept on Windows: the files stay ASCII,
rem so valid UTF-8 JSON whatever the folder's name and the console's code
rem page (echo writes in the OEM code page).
for %%I in ("%HOST%") do set "JSONHOST=%%~nxI"

> "%CHROME_MANIFEST%" echo {
>> "%CHROME_MANIFEST%" echo   "name": "%NAME%",
>> "%CHROME_MANIFEST%" echo   "description": "Tessera certificate enrollment host",
>> "%CHROME_MANIFEST%" echo   "path": "%JSONHOST%",
>> "%CHROME_MANIFEST%" echo   "type": "stdio",
>> "%CHROME_MANIFEST%" echo   "allowed_origins": ["chrome-extension://%EXTENSION_ID%/"]
>> "%CHROME_MANIFEST%" echo }

> "%FIREFOX_MANIFEST%" echo {
>> "%FIREFOX_MANIFEST%" echo   "name": "%NAME%",
>> "%FIREFOX_MANIFEST%" echo   "description": "Tessera certificate enrollment host",
>> "%FIREFOX_MANIFEST%" echo   "path": "%JSONHOST%",
>> "%FIREFOX_MANIFEST%" echo   "type": "stdio",
>> "%FIREFOX_MANIFEST%" echo   "allowed_extensions": ["%FIREFOX_ID%"]
>> "%FIREFOX_MANIFEST%" echo }

call :setkey "%CHROME_KEY%" "%CHROME_MANIFEST%"

if errorlevel 1 exit /b 4
call :setkey "%CHROMIUM_KEY%" "%CHROME_MANIFEST%"
if errorlevel 1 exit /b 4
call :setkey "%EDGE_KEY%" "%CHROME_MANIFEST%"
if errorlevel 1 exit /b 4
call :setkey "%FIREFOX_KEY%" "%FIREFOX_MANIFEST%"
if errorlevel 1 exit /b 4
echo registered %NAME% under %ROOT% for Chrome, Chromium, Edge and Firefox

if not defined ORIGINS goto setup
call :policies
if errorlevel 1 exit /b 4

:setup

if not defined SETUP exit /b 0
echo running: "%HOST%" -i
"%HOST%" -i
exit /b %ERRORLEVEL%

rem The allowlist. Chrome and Edge keep an extension's list policy as a key
rem whose values are named 1, 2, ...; Firefox reads managed storage from the
rem JSON file its ManagedStorage key names.
:policies
reg delete "%CHROME_POLICY%" /f >nul 2>&1
reg delete "%EDGE_POLICY%" /f >nul 2>&1
set /a I=0
set "FAILED="
for %%O in (%ORIGIN_LIST%) do call :putorigin "%%~O"
if defined FAILED exit /b 1
> "%FIREFOX_STORAGE%" echo {"name": "%FIREFOX_ID%", "description": "Tessera allowlist", "type": "storage", "data": {"allowedOrigins": [%JSONLIST%]}}
call :setkey "%FIREFOX_POLICY%" "%FIREFOX_STORAGE%"
if errorlevel 1 exit /b 1
echo wrote the allowlist policy (%N% origins)
exit /b 0

:addorigin
set /a N+=1
if defined JSONLIST (set "JSONLIST=%JSONLIST%, "%~1"") else (set "JSONLIST="%~1"")
if defined ORIGIN_LIST (set "ORIGIN_LIST=%ORIGIN_LIST% "%~1"") else (set "ORIGIN_LIST="%~1"")
exit /b 0

:putorigin
set /a I+=1
reg add "%CHROME_POLICY%\policy\allowedOrigins" /v %I% /t REG_SZ /d "%~1" /f >nul
if errorlevel 1 set "FAILED=1"
reg add "%EDGE_POLICY%\policy\allowedOrigins" /v %I% /t REG_SZ /d "%~1" /f >nul
if errorlevel 1 set "FAILED=1"
exit /b 0

:setkey
reg add "%~1" /ve /t REG_SZ /d "%~2" /f >nul
if errorlevel 1 (
  echo install-windows.cmd: cannot write %~1 1>&2
  exit /b 1
)
exit /b 0

:uninstall
for %%K in ("%CHROME_KEY%" "%CHROMIUM_KEY%" "%EDGE_KEY%" "%FIREFOX_KEY%" "%CHROME_POLICY%" "%EDGE_POLICY%" "%FIREFOX_POLICY%") do (
  reg delete "%%~K" /f >nul 2>&1
)
for %%F in ("%CHROME_MANIFEST%" "%FIREFOX_MANIFEST%" "%FIREFOX_STORAGE%") do (
  if exist "%%~F" del /q "%%~F"
)
rem The parent keys this script may have made, each chain from the innermost
rem out, when nothing else is left in them.
set "S=%ROOT%\Software"
set "P=%ROOT%\Software\Policies"
call :prune "%S%\Google\Chrome\NativeMessagingHosts"
call :prune "%S%\Google\Chrome"
call :prune "%S%\Google"
call :prune "%S%\Chromium\NativeMessagingHosts"
call :prune "%S%\Chromium"
call :prune "%S%\Microsoft\Edge\NativeMessagingHosts"
call :prune "%S%\Microsoft\Edge"
call :prune "%S%\Mozilla\NativeMessagingHosts"
call :prune "%S%\Mozilla\ManagedStorage"
call :prune "%S%\Mozilla"
call :prune "%P%\Google\Chrome\3rdparty\extensions"
call :prune "%P%\Google\Chrome\3rdparty"
call :prune "%P%\Google\Chrome"
call :prune "%P%\Google"
call :prune "%P%\Microsoft\Edge\3rdparty\extensions"
call :prune "%P%\Microsoft\Edge\3rdparty"
call :prune "%P%\Microsoft\Edge"
echo removed %NAME% from %ROOT%
exit /b 0

rem :prune KEY - deletes KEY when it holds no values and no subkeys ("reg
rem query" then prints the key's name alone).
:prune
set /a LINES=0
for /f "delims=" %%L in ('reg query "%~1" 2^>nul') do set /a LINES+=1
if "%LINES%"=="1" reg delete "%~1" /f >nul 2>&1
exit /b 0
