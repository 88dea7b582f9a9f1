<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>TrayMenu</name>
    <message>
        <source>&amp;Launch browser</source>
        <translation>&amp;Browser öffnen</translation>
    </message>
    <message>
        <source>&amp;Copy IP address to clipboard</source>
        <translation>IP-Adresse in die Zwischenablage &amp;kopieren</translation>
    </message>
    <message>
        <source>&amp;Language</source>
        <translation>&amp;Sprache</translation>
    </message>
    <message>
        <source>&amp;Change listening port</source>
        <translation>Empfangs&amp;port ändern</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Über</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>B&amp;eenden</translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Fehler!</translation>
    </message>
    <message>
        <source>Cannot bind on port: </source>
        <translation>Port kann nicht belegt werden: </translation>
    </message>
    <message>
        <source>. Port already in use!</source>
        <translation>. Der Port wird bereits verwendet!</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>Das Programm läuft.</translation>
    </message>
    <message>
        <source>Program is listening on port: </source>
        <translation>Das Programm empfängt auf Port: </translation>
    </message>
    <message>
        <source>Listening port modification</source>
        <translation>Empfangsport ändern</translation>
    </message>
    <message>
        <source>New listening port:</source>
        <translation>Neuer Empfangsport:</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
</context>
</TS>
