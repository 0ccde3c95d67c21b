<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="sk" sourcelanguage="en">
<context>
    <name>QMessageBox</name>
    <message>
        <source>Hide Details...</source>
        <translation>Skryť detaily…</translation>
    </message>
    <message>
        <source>Show Details...</source>
        <translation>Zobraziť detaily…</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>&amp;No</source>
        <translation>&amp;Nie</translation>
    </message>
    <message>
        <source>&amp;Yes</source>
        <translation>Á&amp;no</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Prerušiť</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Použiť</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Zrušiť</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zavrieť</translation>
    </message>
    <message>
        <source>Discard</source>
        <translation>Zahodiť</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Nápoveda</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>Ignorovať</translation>
    </message>
    <message>
        <source>N&amp;o to All</source>
        <translation>N&amp;ie, žiadne</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Otvoriť</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>Vrátiť</translation>
    </message>
    <message>
        <source>Restore Defaults</source>
        <translation>Obnoviť východzie</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Opakovať</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Uložiť</translation>
    </message>
    <message>
        <source>Save All</source>
        <translation>Uložit všetko</translation>
    </message>
    <message>
        <source>Yes to &amp;All</source>
        <translation>Áno, &amp;všetko</translation>
    </message>
</context>
</TS>
