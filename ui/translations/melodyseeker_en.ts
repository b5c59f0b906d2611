<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="de">
<context>
    <name>CoreTexts</name>
    <message>
        <source>Abfrage der Cache Informationen</source>
        <translation>Querying the cache information</translation>
    </message>
    <message>
        <source>Bereinige lokalen Cache</source>
        <translation>Cleaning up the local cache</translation>
    </message>
    <message>
        <source>Download der Titelerkennungsdatenbank %1 / %2</source>
        <translation>Downloading the title recognition database %1 / %2</translation>
    </message>
    <message>
        <source>Bereite lokalen Cache vor, dieser Vorgang kann etwas dauern...</source>
        <translation>Preparing the local cache, this may take a while...</translation>
    </message>
    <message>
        <source>Lokaler Cache vorbereitet</source>
        <translation>Local cache prepared</translation>
    </message>
    <message>
        <source>Abgebrochen %1</source>
        <translation>Cancelled %1</translation>
    </message>
    <message>
        <source>Der Service ist nicht erreichbar, möglicherweise sind Sie offline! %1</source>
        <translation>The service cannot be reached, you may be offline! %1</translation>
    </message>
    <message>
        <source>Der Service ist derzeit nicht verfügbar! %1</source>
        <translation>The service is currently not available! %1</translation>
    </message>
    <message>
        <source>Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client Version %1.</source>
        <translation>Please update your client, you need at least client version %1.</translation>
    </message>
    <message>
        <source>Es ist ein Problem beim Laden der Cache Informationen aufgetreten, ggf. müssen Sie Ihren Client aktualisieren</source>
        <translation>A problem occurred while loading the cache information, you may have to update your client</translation>
    </message>
    <message>
        <source>Ungültiger Name einer Cache-Datei in der Liste des Service: &quot;%1&quot;</source>
        <translation>Invalid cache file name in the service&apos;s list: &quot;%1&quot;</translation>
    </message>
    <message>
        <source>Datei kann nicht geschrieben werden: %1</source>
        <translation>File cannot be written: %1</translation>
    </message>
    <message>
        <source>Der lokale Cache konnte nicht geladen werden</source>
        <translation>The local cache could not be loaded</translation>
    </message>
    <message>
        <source>Unbekannter fehler</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>Anwendung &quot;%1&quot; läuft bereits!</source>
        <translation>Application &quot;%1&quot; is already running!</translation>
    </message>
    <message>
        <source>Fehler beim Ausführen der Prozessorzuordnung</source>
        <translation>Error while setting the processor affinity</translation>
    </message>
    <message>
        <source>Interner Fehler: Es konnte kein Datenpfad gefunden/erzeugt werden!</source>
        <translation>Internal error: no data path could be found or created!</translation>
    </message>
    <message>
        <source>Sollte dieses Problem permanent auftreten, wenden Sie sich bitte an den technischen Support!</source>
        <translation>If this problem persists, please contact technical support!</translation>
    </message>
    <message>
        <source>Fehler: Verzeichnisstuktur konnte nicht angelegt werden!</source>
        <translation>Error: the directory structure could not be created!</translation>
    </message>
    <message>
        <source>Konfigurationsdatei kann nicht gelesen werden: %1</source>
        <translation>Configuration file cannot be read: %1</translation>
    </message>
    <message>
        <source>Konfiguration kann nicht geschrieben werden</source>
        <translation>Configuration cannot be written</translation>
    </message>
    <message>
        <source>Konfigurationsdatei kann nicht geschrieben werden: %1</source>
        <translation>Configuration file cannot be written: %1</translation>
    </message>
    <message>
        <source>Achtung: Ihre aktuelle Konfiguration sowie gespeicherte Zustände werden gelöscht!</source>
        <translation>Attention: your current configuration and all saved states will be deleted!</translation>
    </message>
    <message>
        <source>Das Programm hat beim nächstn Start wieder seine urprüngliche Programmkonfiguration.</source>
        <translation>At its next start the program will have its original configuration again.</translation>
    </message>
    <message>
        <source>Fehler beim Löschen der Konfigurationsdatei. Bitte Anwendung schließen und Datei manuell löschen</source>
        <translation>Error while deleting the configuration file. Please close the application and delete the file manually</translation>
    </message>
    <message>
        <source>Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !</source>
        <translation>The configuration was removed, the initial configuration will be restored!</translation>
    </message>
    <message>
        <source>Bitte Anwendung neu starten !</source>
        <translation>Please restart the application!</translation>
    </message>
    <message>
        <source>Debug_Init konnte nicht gestartet werden!</source>
        <translation>Debug_Init could not be started!</translation>
    </message>
    <message>
        <source>Debug_Init Fehler!</source>
        <translation>Debug_Init error!</translation>
    </message>
    <message>
        <source>Debug_Done Fehler!</source>
        <translation>Debug_Done error!</translation>
    </message>
    <message>
        <source>Debug_Done Fehler beim Löschen der Debugdatei!</source>
        <translation>Debug_Done error while deleting the debug file!</translation>
    </message>
</context>
<context>
    <name>Feedback</name>
    <message>
        <source>&lt;Ihre Nachricht&gt;</source>
        <translation>&lt;Your message&gt;</translation>
    </message>
    <message>
        <source>Betriebssystem: </source>
        <translation>Operating system: </translation>
    </message>
    <message>
        <source>Programmversion: </source>
        <translation>Program version: </translation>
    </message>
    <message>
        <source>Das E-Mail-Programm konnte nicht gestartet werden.</source>
        <translation>The e-mail program could not be started.</translation>
    </message>
</context>
<context>
    <name>TMainform</name>
    <message>
        <source>Konfiguration</source>
        <translation>Configuration</translation>
    </message>
    <message>
        <source>Decodereinstellungen</source>
        <translation>Decoder settings</translation>
    </message>
    <message>
        <source>Programmdebug</source>
        <translation>Program debug</translation>
    </message>
    <message>
        <source>Programmkonfiguration zurücksetzen</source>
        <translation>Reset program configuration</translation>
    </message>
    <message>
        <source>Lokalen Cache löschen</source>
        <translation>Delete local cache</translation>
    </message>
    <message>
        <source>Informationen zu den Programmverzeichnissen</source>
        <translation>Information about the program directories</translation>
    </message>
    <message>
        <source>Sprache</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Deutsch</source>
        <translation>German</translation>
    </message>
    <message>
        <source>Englisch</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Sprachcode eingeben</source>
        <translation>Enter language code</translation>
    </message>
    <message>
        <source>Zurücksetzen</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>Hilfe</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>Programmdokumentation</source>
        <translation>Program documentation</translation>
    </message>
    <message>
        <source>Benutzerinformationen</source>
        <translation>User information</translation>
    </message>
    <message>
        <source>Programminformationen</source>
        <translation>Program information</translation>
    </message>
    <message>
        <source>Beenden</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>Diese Funktion sollte nur in Absprache mit dem techischen Support aktiviert werden!</source>
        <translation>This function should only be activated in agreement with technical support!</translation>
    </message>
    <message>
        <source>Funktion aktivieren?</source>
        <translation>Activate the function?</translation>
    </message>
    <message>
        <source>Achtung: Debugmode aktiv!</source>
        <translation>Attention: debug mode active!</translation>
    </message>
    <message>
        <source>Damit diese Änderung gültig wird, müssen Sie die Software neu starten!</source>
        <translation>You must restart the software for this change to take effect!</translation>
    </message>
    <message>
        <source>Sie haben den Debug Modus deaktiviert.</source>
        <translation>You have deactivated the debug mode.</translation>
    </message>
    <message>
        <source>Wollen Sie den lokalen Cache jetzt löschen? Er muss dann bei der nächsten Programmausführung neu aufgebaut/heruntergeladen werden.</source>
        <translation>Do you want to delete the local cache now? It will then have to be rebuilt/downloaded at the next program start.</translation>
    </message>
    <message>
        <source>Cache erfolgreich gelöscht</source>
        <translation>Cache deleted successfully</translation>
    </message>
    <message>
        <source>Cache konnte nicht vollständig gelöscht werden. Bitte starten Sie das Programm neu und versuchen Sie es erneut</source>
        <translation>The cache could not be deleted completely. Please restart the program and try again</translation>
    </message>
    <message>
        <source>Das Programm wurde aus folgendem Pfad gestartet:</source>
        <translation>The program was started from this path:</translation>
    </message>
    <message>
        <source>Daten werden derzeit in folgendem Verzeichnis abgelegt:</source>
        <translation>Data is currently stored in this directory:</translation>
    </message>
    <message>
        <source>(Datenpfad Wahlweise $APPDATA oder $XDG_DATA_HOME bzw. ~/.local/share)</source>
        <translation>(data path either $APPDATA or $XDG_DATA_HOME, else ~/.local/share)</translation>
    </message>
    <message>
        <source>Die Spracheinstellung konnte nicht gespeichert werden: %1</source>
        <translation>The language setting could not be saved: %1</translation>
    </message>
    <message>
        <source>Sprache %1 wurde eingestellt, bitte starten Sie die Anwendung neu damit die Änderung wirksam wird</source>
        <translation>Language %1 was set, please restart the application for the change to take effect</translation>
    </message>
    <message>
        <source>Bitte Sprachcode eingeben (zweistellig):</source>
        <translation>Please enter the language code (two letters):</translation>
    </message>
    <message>
        <source>Die Spracheeinstellung wurde zurückgesetzt, bitte starten Sie die Anwendung neu damit die Änderung wirksam wird</source>
        <translation>The language setting was reset, please restart the application for the change to take effect</translation>
    </message>
    <message>
        <source>Die Hilfedatei wurde auf Ihrem lokalen Rechner nicht gefunden, bitte gehen Sie auf die Webseite, dort finden Sie eine Kopie der Dokumentation!</source>
        <translation>The help file was not found on your computer, please visit the web site, where you will find a copy of the documentation!</translation>
    </message>
    <message>
        <source>Fehler beim Starten der Hilfe!</source>
        <translation>Error while starting the help!</translation>
    </message>
    <message>
        <source>%1 konnte nicht geöffnet werden</source>
        <translation>%1 could not be opened</translation>
    </message>
    <message>
        <source>Ihre UserID lautet:</source>
        <translation>Your user ID is:</translation>
    </message>
    <message>
        <source>(diese sollten Sie ggf. bei Anfragen an den technischen Support angeben)</source>
        <translation>(please give it when you contact technical support)</translation>
    </message>
    <message>
        <source>Der Testmodus wurde aktiviert</source>
        <translation>Test mode was activated</translation>
    </message>
    <message>
        <source>Der lokale Modus wurde aktiviert</source>
        <translation>Local mode was activated</translation>
    </message>
    <message>
        <source>MelodySeeker. Verwenden Sie das Kontextmenü zum Konfigurieren oder Beenden</source>
        <translation>MelodySeeker. Use the context menu to configure or quit</translation>
    </message>
    <message>
        <source>Es sind noch %1 lokale Client Verbindungen offen, wollen Sie diese Abbrechen und trotzdem beenden?</source>
        <translation>There are still %1 local client connections open, do you want to cancel them and quit anyway?</translation>
    </message>
</context>
<context>
    <name>TMelodySeekerApp</name>
    <message>
        <source>Unbekannter Fehler</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>Es ist folgendes Problem aufgetreten:</source>
        <translation>The following problem occurred:</translation>
    </message>
    <message>
        <source>Wollen Sie das Problem zur allgemeinen Programmverbesserung an die Entwicklung schicken?</source>
        <translation>Do you want to send the problem to the developers to help improve the program?</translation>
    </message>
    <message>
        <source>Bitte überprüfen Sie bei Problemen immer ob eine neuere Programmversion vorliegt.</source>
        <translation>If you have problems, please always check whether a newer program version is available.</translation>
    </message>
</context>
<context>
    <name>TQtUiPrompt</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Abbrechen</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>&amp;Abbrechen</source>
        <translation>&amp;Abort</translation>
    </message>
    <message>
        <source>&amp;Ja</source>
        <translation>&amp;Yes</translation>
    </message>
    <message>
        <source>&amp;Nein</source>
        <translation>&amp;No</translation>
    </message>
    <message>
        <source>&amp;Wiederholen</source>
        <translation>&amp;Retry</translation>
    </message>
    <message>
        <source>&amp;Ignorieren</source>
        <translation>&amp;Ignore</translation>
    </message>
</context>
<context>
    <name>Tfrmcacheupdate</name>
    <message>
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>MelodySeeker läd den für die Titeleridentifikation benötigten Teil der Datenbank herunter.</source>
        <translation>MelodySeeker downloads the part of the database needed for title identification.</translation>
    </message>
    <message>
        <source>Dies ermöglicht es, die Titelerkennung auf Ihrem lokalen PC auszuführen. Lediglich Metadaten und akustische Fingerabdrücke werden im nächsten Schritt anonym mit der zentralen Datenbank ausgetauscht.</source>
        <translation>This allows title recognition to run on your local computer. Only metadata and acoustic fingerprints are exchanged anonymously with the central database in the next step.</translation>
    </message>
    <message>
        <source>Bei der ersten Verwendung muss ein voller Download durchgeführt werden, dieser kann etwas dauern. Bei jeder weiteren Verwendung werden nur noch neue Daten heruntergeladen</source>
        <translation>The first time, a full download is needed, which may take a while. After that, only new data is downloaded</translation>
    </message>
</context>
<context>
    <name>Tinfoform</name>
    <message>
        <source>Die Seite %1 konnte nicht geöffnet werden.</source>
        <translation>The page %1 could not be opened.</translation>
    </message>
    <message>
        <source>&amp;Hilfe</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>Produktinformationen</source>
        <translation>Product information</translation>
    </message>
    <message>
        <source>Wollen Sie mir etwas mitteilen? Nur zu, klicken Sie !</source>
        <translation>Do you want to tell me something? Go ahead, click!</translation>
    </message>
    <message>
        <source>Ein Klick bringt Sie direkt zu meiner Seite im WWW !</source>
        <translation>One click takes you straight to my page on the web!</translation>
    </message>
    <message>
        <source>Sollten Sie Probleme oder Vorschläge haben, melden Sie sich einfach</source>
        <translation>If you have problems or suggestions, just get in touch</translation>
    </message>
    <message>
        <source>Online-Dokumentation, Support-Forum und sowie aktuelle Informationen und Updates finden Sie auf</source>
        <translation>Online documentation, a support forum and current information and updates are at</translation>
    </message>
    <message>
        <source>Spenden Sie ein paar Euro für den Erhalt nicht-kommerzieller Software:</source>
        <translation>Donate a few euros to keep non-commercial software alive:</translation>
    </message>
    <message>
        <source>Vielen Dank an jeden der sich für die Weiterentwicklung einsetzt</source>
        <translation>Many thanks to everyone who supports the further development</translation>
    </message>
    <message>
        <source>bzw. in der Vergangenheit das Projekt unterstützt hat.</source>
        <translation>or has supported the project in the past.</translation>
    </message>
    <message>
        <source>Feedback</source>
        <translation>Feedback</translation>
    </message>
    <message>
        <source>Datenschutzerklärung</source>
        <translation>Privacy statement</translation>
    </message>
    <message>
        <source>auf Update prüfen</source>
        <translation>Check for updates</translation>
    </message>
    <message>
        <source>&amp;Schließen</source>
        <translation>&amp;Close</translation>
    </message>
</context>
<context>
    <name>Tmemoryinfo</name>
    <message>
        <source>einen moment bitte....</source>
        <translation>one moment please....</translation>
    </message>
</context>
</TS>
