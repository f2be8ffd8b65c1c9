#!/usr/bin/env bash
# Packs the Windows build into a zip: diravid.exe, the DLLs it loads at run
# time (OpenSSL, MariaDB Connector/C, libcurl), a commented sample
# diravid.ini and a short German install text. Builds first when
# build-windows/diravid.exe is missing.
# Usage: scripts/windows-package.sh [ZIP]   (default: build-windows/KorvaneDiraVid-<version>-win64.zip)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${DIRAVID_WINDOWS_BUILD:-$ROOT/build-windows}

if ! command -v zip >/dev/null 2>&1; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "zip is missing; install it with apt-get install zip (as root)." >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends zip >/dev/null
fi
[[ -f $BUILD/diravid.exe ]] || scripts/windows-build.sh --target diravid
DLLS=$(scripts/windows-deps.sh --prefix)/bin

version=$(sed -n 's/^project(KorvaneDiraVid VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_file=${1:-$BUILD/KorvaneDiraVid-$version-win64.zip}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/KorvaneDiraVid
mkdir -p "$dir"

install -m 0755 "$BUILD/diravid.exe" "$dir/"
x86_64-w64-mingw32-strip "$dir/diravid.exe"
for dll in libssl-3-x64.dll libcrypto-3-x64.dll libmariadb.dll libcurl-4.dll; do
  install -m 0644 "$DLLS/$dll" "$dir/"
  x86_64-w64-mingw32-strip --strip-unneeded "$dir/$dll"
done

# Text for Windows' editors: UTF-8 with a byte-order mark (the service reads
# such an ini as UTF-8 whatever the ANSI code page) and CRLF line ends.
windows_text() { printf '\xef\xbb\xbf'; sed 's/$/\r/'; }

windows_text >"$dir/diravid.ini.beispiel" <<'EOF'
; Beispiel für diravid.ini - KorvaneDiraVid
; Zum Benutzen in "diravid.ini" umbenennen und anpassen. Die Datei liegt im
; Home-Ordner des Dienstes (dem Ordner von diravid.exe).
; Zeilen mit ";" am Anfang sind Kommentare. Groß-/Kleinschreibung der
; Abschnitte und Schlüssel ist egal. Ja/Nein-Werte sind Zahlen: 0 = nein,
; jede andere Zahl = ja. Fehlt ein Schlüssel, gilt sein Standardwert.
; Schlüssel mit "(Start)" wirken erst nach einem Neustart des Dienstes,
; alle anderen ab dem nächsten Zyklus (alle 90 Sekunden).

[Database]
; Name der Datenbank (Schema) der Lageführung (Start)
Database=Orldb
; MariaDB-Server und Port (Start)
Hostname=127.0.0.1
Port=3306
; Benutzer und Passwort der Datenbank (Start)
User=root
Passwort=Zuk

[Verbindung]
; Sekunden, die eine Verbindung ohne Fortschritt auf ihren Server wartet
; (Datenbank und Mailserver); 0 oder keine Zahl: 60, höchstens 86400
Zeitlimit=60

[Mail]
; 1: neue Nachrichten des Tagebuchs per Mail an "An" senden
NeuNachricht=0
; 1: auch die Nachrichten mailen, die der Dienst aus eingegangenen Mails abgelegt hat
NeueMail=0
; Empfänger der Tagebuch-Mails, mehrere durch Kommas getrennt
An=

[SMTP]
; Mailserver für den Versand; leer: kein Versand
Host=
; Port (Standard 10, nicht 25); 465 spricht TLS ab dem ersten Byte
Port=10
Username=
Passwort=
; Absenderadresse
MailAdresse=
; Passwort (AUTH LOGIN/PLAIN) oder OAuth2
Anmeldung=Passwort
; Abschnitt mit den OAuth-2.0-Einstellungen für SMTP
OAuth2Abschnitt=OAuth2
; Text vor jedem Betreff
BetreffPrefix=
; Name bei EHLO/HELO; leer: der Rechnername
HeloName=

[StartTLS]
; IMAP: 1 = STARTTLS, wenn angeboten; 0 = kein TLS.
; SMTP: 1 = STARTTLS, wenn angeboten; 0 = STARTTLS ist Pflicht
Aktiv=0

[POP3]
; 1: das POP3-Postfach in jedem Zyklus leeren
Aktiv=0
Host=
Username=
Passwort=
Port=110
; 1: TLS ab dem ersten Byte (meist Port 995)
SSL=0
; Passwort (USER/PASS) oder OAuth2
Anmeldung=Passwort
OAuth2Abschnitt=OAuth2

[IMAP]
; 1: das IMAP-Postfach in jedem Zyklus leeren (Start und jeder Zyklus)
Aktiv=0
; Server, Benutzer, Passwort (Start)
Host=
Username=
Passwort=
; 993 mit SSL=1 und ohne STARTTLS spricht TLS ab dem ersten Byte (Start)
Port=143
; 1: TLS (TLS 1.2) für IMAP (Start)
SSL=1
; Passwort (LOGIN) oder OAuth2 (Start)
Anmeldung=Passwort
OAuth2Abschnitt=OAuth2

[Maileingang]
; 1: der Betreff muss "#" und eine Lagenummer tragen; die Mail geht nur an diese Lage
Betreff=0
; bei Betreff=0: die eine Lage, die jede Mail erhält (aktiv oder nicht)
Lage=
; bei Betreff=0 und leerer Lage: 1 = jede aktive Lage; 0 = jede aktive Lage außer Dauerlagen
Nur_Einsatzlagen=0
; Mails über so vielen MiB werden nicht abgeholt (unter 1: 50)
MaxMB=50
; wenn gesetzt: Empfänger (Sichter), der zu jeder abgelegten Nachricht eingetragen wird
Sichter=

[Pfade]
; Anfang der gespeicherten Anhangpfade (z. B. D:\Anlagen oder \\server\freigabe)
; und der Ordner, unter dem dieser Anfang auf diesem Rechner erreichbar ist
Windows=
Lokal=

[Zertifikat]
; 1: Zertifikate der Mailserver prüfen (Kette, Gültigkeit, Name)
Pruefen=0
; PEM-Datei der vertrauten Stammzertifikate (relativ: neben diravid.ini);
; leer: die Stammzertifizierungsstellen des Windows-Zertifikatspeichers
CADatei=

[OAuth2]
; nur für Anmeldung=OAuth2: client_credentials, refresh_token oder jwt_bearer
Verfahren=client_credentials
; Token-Endpunkt (nur https) und Endpunkt der Geräteanmeldung
TokenURL=
GeraeteURL=
ClientID=
ClientSecret=
; Datei mit dem Secret (relativ: neben diravid.ini); geht ClientSecret vor
ClientSecretDatei=
; PEM-Dateien von Zertifikat und RSA-Schlüssel (statt des Secrets)
Zertifikat=
Schluessel=
Scope=
; jwt_bearer: das Postfach, für das das Dienstkonto handelt
Benutzer=

; [Debug] schreibt der Dienst selbst (Laststartcheckmail, Lastendcheckmail).
EOF

windows_text >"$dir/LIESMICH.txt" <<EOF
KorvaneDiraVid $version für Windows (64 Bit)
==========================================

Der Dienst "diravid" verschickt neue Nachrichten des Tagebuchs der
Lageführung per Mail und legt eingehende Mails als Nachrichten ab.

Inhalt
  diravid.exe            der Dienst
  libmariadb.dll         MariaDB-Client (Datenbank)
  libssl-3-x64.dll,
  libcrypto-3-x64.dll    OpenSSL (TLS zu den Mailservern)
  libcurl-4.dll          HTTPS zu OAuth-2.0-Token-Endpunkten
  diravid.ini.beispiel   kommentierte Beispiel-Einstellungen

Einrichten
  1. Den Ordner an seinen festen Platz kopieren, z. B.
     C:\Programme\KorvaneDiraVid. Dieser Ordner ist der Home-Ordner des
     Dienstes: dort liest er diravid.ini und whitelist.txt und schreibt
     KorvaneDiraVid.log und die Ordner Logs, old, Fehler, Abgewiesen,
     Automatisch, temp und Postfach. Das Dienstkonto braucht dort
     Schreibrechte.
  2. diravid.ini.beispiel in diravid.ini umbenennen und die Datenbank und
     die Mailserver eintragen.
  3. Prüfen (ändert nichts, eine Zeile je Prüfung):
       diravid.exe --check
  4. Als Administrator installieren (Dienst "diravid", Anzeigename
     "KorvaneDiraVid", automatischer Start):
       diravid.exe /INSTALL
     und starten:
       sc start diravid
     /SILENT unterdrückt die Erfolgsmeldung.

Entfernen
  sc stop diravid
  diravid.exe /UNINSTALL

Protokoll
  Alles steht in KorvaneDiraVid.log im Home-Ordner. Fehler, die das
  Protokoll nicht aufnehmen kann, stehen in der Ereignisanzeige unter
  Windows-Protokolle > Anwendung, Quelle "diravid".
EOF

rm -f "$zip_file"
(cd "$stage" && zip -q -r -X -9 "$zip_file" KorvaneDiraVid)
echo "$zip_file"
