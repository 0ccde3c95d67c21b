<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="sk">
<context>
    <name>CertificateDialog</name>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;justify&quot;&gt;Boli vygenerované nové certifikáty pre zabezpečenie komunikácie medzi webovým prehliadačom a aplikáciou Kavrel.&lt;/p&gt;&lt;p align=&quot;justify&quot;&gt;Potvrdením dialógu sa automaticky pridá koreňový certifikát vygenerovanej certifikačnej autority do úložiska certifikátov operačného systému (v prípade OS GNU/Linux do úložiska NSS) a do všetkých profilov prehliadača Mozilla Firefox. Táto operácia môže vyžadovať dodatočné povolenia od operačného systému. Odporúčame pred potvrdením dialógu ukončiť všetky bežiace webové prehliadače a zároveň sa uistiť, že všetky prehliadače, ktoré plánujete používať, boli na Vašom počítači a pod Vaším používateľským účtom spustené aspoň raz.&lt;/p&gt;&lt;p align=&quot;justify&quot;&gt;V prípade že operácia zlyhala, alebo používate nepodporovaný prehliadač s vlastnou správou certifikátov, je potrebné manuálne pridať medzi dôveryhodné certifikačné autority certifikát, ktorý sa nachádza na Vašom disku v súbore:&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;justify&quot;&gt;New certificates for securing communication between browser and Kavrel application were generated.&lt;/p&gt;&lt;p align=&quot;justify&quot;&gt;Confirmation of this dialog will automatically add the root certificate of the freshly generated Certificate Authority to the OS certificate store (or the NSS Store in the case of OS GNU/Linux) and to all the profiles of Mozilla Firefox browser. This action may require additional confirmations from the operating system. Before confirmation of this dialog we recommend to close all running web browsers. Also make sure that all browsers that you plan to use, have run under your user account at least once.&lt;/p&gt;&lt;p align=&quot;justify&quot;&gt;In the case of failure or an unsupported browser with manual certificate management, it is neccesary to import the aforementioned certificate to the set of trusted certificate authorities. Location of the certificate:&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Inštalácia certifikátu</source>
        <translation>Certificate installation</translation>
    </message>
    <message>
        <source>Zrušiť</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>CertificateGenerator</name>
    <message>
        <source>Nepodarilo sa zapisať infromácie na disk.</source>
        <translation>Could not write to disk.</translation>
    </message>
</context>
<context>
    <name>CertificateManagerNss</name>
    <message>
        <source>Nepodarilo sa otvoriť súbor s profilmi prehliadača Mozilla Firefox.</source>
        <translation>Could not open Mozilla Firefox profiles.</translation>
    </message>
    <message>
        <source>Nepodarilo sa prečítať položku CN z certifikátu.</source>
        <translation>Could not read CN attribute from certificate.</translation>
    </message>
    <message>
        <source>Chromium a ďalšie programy NSS</source>
        <translation>Chromium and other NSS programs</translation>
    </message>
    <message>
        <source>Mozilla Firefox</source>
        <translation>Mozilla Firefox</translation>
    </message>
    <message>
        <source>Chromium</source>
        <translation>Chromium</translation>
    </message>
    <message>
        <source>Mozilla Firefox (snap)</source>
        <translation>Mozilla Firefox (snap)</translation>
    </message>
    <message>
        <source>Mozilla Firefox (flatpak)</source>
        <translation>Mozilla Firefox (flatpak)</translation>
    </message>
    <message>
        <source>Chromium (snap)</source>
        <translation>Chromium (snap)</translation>
    </message>
</context>
<context>
    <name>CertificateManagerOs</name>
    <message>
        <source>Nepodarilo sa prečítať položku CN z certifikátu.</source>
        <translation>Could not read CN attribute from certificate.</translation>
    </message>
</context>
<context>
    <name>InstallationFileManager</name>
    <message>
        <source>Nepodarilo sa aktualizovať informácie o inštalácií.</source>
        <translation>Could not update file with installation informations.</translation>
    </message>
    <message>
        <source>Nepodarilo sa zapísať informácie o inštalácií.</source>
        <translation>Could not write file with installation informations.</translation>
    </message>
</context>
<context>
    <name>LaunchQuestion</name>
    <message>
        <source>(stránka neuviedla svoj pôvod)</source>
        <translation>(the page declared no origin)</translation>
    </message>
    <message>
        <source>Spustenie aplikácie</source>
        <translation>Application launch</translation>
    </message>
    <message>
        <source>Stránka %1 chce spustiť aplikáciu
%2

Povoliť jej spustenie?</source>
        <translation>The page %1 wants to start the application
%2

Allow it to start?</translation>
    </message>
    <message>
        <source>Ak neodpoviete do %1 s, spustenie sa zamietne.</source>
        <translation>Without an answer within %1 s, the launch is refused.</translation>
    </message>
    <message>
        <source>&amp;Povoliť</source>
        <translation>&amp;Allow</translation>
    </message>
    <message>
        <source>&amp;Nepovoliť</source>
        <translation>&amp;Don&apos;t allow</translation>
    </message>
    <message>
        <source>&amp;Zapamätať si odpoveď pre túto aplikáciu</source>
        <translation>&amp;Remember the answer for this application</translation>
    </message>
</context>
<context>
    <name>LogsDialog</name>
    <message>
        <source>Denník</source>
        <translation>Log</translation>
    </message>
</context>
<context>
    <name>MainLauncher</name>
    <message>
        <source>Aplikácia je už spustená.</source>
        <translation>Application already running.</translation>
    </message>
    <message>
        <source>Kavrel</source>
        <translation>Kavrel</translation>
    </message>
</context>
<context>
    <name>MainSingleton</name>
    <message>
        <source>&amp;Jazyk</source>
        <translation>&amp;Language</translation>
    </message>
    <message>
        <source>&amp;Nastavenia</source>
        <translation>&amp;Settings</translation>
    </message>
    <message>
        <source>&amp;O aplikácii</source>
        <translation>&amp;About</translation>
    </message>
    <message>
        <source>&amp;Reinštalácia aplikácie</source>
        <translation>&amp;Reinstall application</translation>
    </message>
    <message>
        <source>&amp;Ukončiť</source>
        <translation>&amp;Quit</translation>
    </message>
    <message>
        <source>Aplikácia je už spustená.</source>
        <translation>Application already running.</translation>
    </message>
    <message>
        <source>Autor:</source>
        <translation>Author:</translation>
    </message>
    <message>
        <source>Kavrel</source>
        <translation>Kavrel</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Nepodarilo sa aktualizovať informácie o stave.</source>
        <translation>Could not update file with state informations.</translation>
    </message>
    <message>
        <source>Nepodarilo sa nájsť aplikáciu Java Web Start (javaws). Uistite sa, že máte nainštalovanú správnu verziu behového prostredia Java.</source>
        <translation>Could not find a Java Web Start (javaws) application. Make sure that you have the correct version of the Java Runtime Environment installed.</translation>
    </message>
    <message>
        <source>Nepodarilo sa prečítať certifikát.</source>
        <translation>Could not read certificate.</translation>
    </message>
    <message>
        <source>Nepodarilo sa spustiť server. Skontrolujte nastavenie brány firewall.</source>
        <translation>Could not start the server. Please check the firewall settings.</translation>
    </message>
    <message>
        <source>Nepodarilo sa vymazať informácie o stave.</source>
        <translation>Could not delete file with state informations.</translation>
    </message>
    <message>
        <source>Nepodarilo sa zapísať informácie o stave.</source>
        <translation>Could not write file with state informations.</translation>
    </message>
    <message>
        <source>Názov:</source>
        <translation>Name:</translation>
    </message>
    <message>
        <source>Slovenský</source>
        <translation>Slovenský</translation>
    </message>
    <message>
        <source>Verzia:</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>Zobraziť denník...</source>
        <translation>Show log...</translation>
    </message>
    <message>
        <source>Zoznam použitých komponentov:

</source>
        <translation>Used components:</translation>
    </message>
</context>
<context>
    <name>ProtocolHandlerManager</name>
    <message>
        <source>Nepodarilo sa zaregistrovať aplikáciu.</source>
        <translation>Failed to register the application.</translation>
    </message>
    <message>
        <source>Uistite sa, že máte nainštalovanú sadu nástrojov desktop-file-utils a reštartujte aplikáciu.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RedirectServer</name>
    <message>
        <source>Nepodarilo sa spustiť server. Skontrolujte nastavenie brány firewall.</source>
        <translation>Could not start the server. Please check the firewall settings.</translation>
    </message>
    <message>
        <source>Spúšťacia URL ma nesprávny tvar.</source>
        <translation>Incorrect format of URL.</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Individuálne nastavenia aplikácii</source>
        <translation>Individual application settings</translation>
    </message>
    <message>
        <source>Nastavenia</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>Názov aplikácie</source>
        <translation>Application name</translation>
    </message>
    <message>
        <source>Stránka</source>
        <translation>Page</translation>
    </message>
    <message>
        <source>Opýtať sa</source>
        <translation>Ask</translation>
    </message>
    <message>
        <source>Povolené</source>
        <translation>Enabled</translation>
    </message>
    <message>
        <source>Predvolené</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>Predvolené nastavenia</source>
        <translation>Default settings</translation>
    </message>
    <message>
        <source>Stav</source>
        <translation>State</translation>
    </message>
    <message>
        <source>Tieto nastavenia sú určené len pre pokročilých používateľov. Nesprávne hodnoty môžu spôsobiť nefunkčnosť aplikácie.</source>
        <translation>These settings are for advanced users only. Messing them up may cause application malfunction.</translation>
    </message>
    <message>
        <source>URL</source>
        <translation>URL</translation>
    </message>
    <message>
        <source>Zakázané</source>
        <translation>Disabled</translation>
    </message>
    <message>
        <source>Zakázať Java Web Start aplikácie</source>
        <translation>Disable Java Web Start applications</translation>
    </message>
    <message>
        <source>Zakázať natívne aplikácie</source>
        <translation>Disable native applications</translation>
    </message>
    <message>
        <source>Zrušiť</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Aplikácie</source>
        <translation>Applications</translation>
    </message>
    <message>
        <source>Nastavené správcom</source>
        <translation>Set by the administrator</translation>
    </message>
</context>
<context>
    <name>SslWebSocketServer</name>
    <message>
        <source>Nepodarilo sa načítať SSL certifikát.</source>
        <translation>Could not read the SSL certificate.</translation>
    </message>
    <message>
        <source>Nepodarilo sa otvoriť súbor s SSL certifikátom. Dôvod: %1</source>
        <translation>Could not open file with SSL certificate. Reason: %1</translation>
    </message>
</context>
<context>
    <name>TrayIconWindow</name>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;center&quot;&gt;Kliknutím pravým tlačidlom na túto oblasť vyvoláte kontextovú ponuku.&lt;/p&gt;&lt;p&gt;&lt;br/&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p align=&quot;center&quot;&gt;Right-clicking this area will open the context menu.&lt;/p&gt;&lt;p&gt;&lt;br/&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Kavrel</source>
        <translation>Kavrel</translation>
    </message>
</context>
<context>
    <name>TrustInstaller</name>
    <message>
        <source>Pridanie certifikátu skončilo úspešne.</source>
        <translation>Adding the certificate finished successfully.</translation>
    </message>
    <message>
        <source>Prosím reštartujte všetky spustené webové prehliadače.</source>
        <translation>Please restart all running Web browsers.</translation>
    </message>
    <message>
        <source>Pri pridávaní certifikátu nastala jedna alebo viac chýb.</source>
        <translation>Adding the certificate finished with one or more errors.</translation>
    </message>
    <message>
        <source>Komunikácia s niektorými prehliadačmi nemusí fungovať.</source>
        <translation>Communication with certain browsers may not work.</translation>
    </message>
</context>
<context>
    <name>TrustReportPage</name>
    <message>
        <source>Dôveruje</source>
        <translation>Trusted</translation>
    </message>
    <message>
        <source>Certifikát chýba</source>
        <translation>Certificate missing</translation>
    </message>
    <message>
        <source>Prítomný, ale nedôveryhodný</source>
        <translation>Present but not trusted</translation>
    </message>
    <message>
        <source>Nedá sa skontrolovať: zamknutá alebo poškodená</source>
        <translation>Could not be checked: locked or damaged</translation>
    </message>
    <message>
        <source>Nedá sa skontrolovať: neodpovedá</source>
        <translation>Could not be checked: timed out</translation>
    </message>
    <message>
        <source>Nedá sa skontrolovať: chránená heslom</source>
        <translation>Could not be checked: protected by a password</translation>
    </message>
    <message>
        <source>Skontrolovať znova</source>
        <translation>Check again</translation>
    </message>
    <message>
        <source>Opraviť dôveru...</source>
        <translation>Repair trust...</translation>
    </message>
    <message>
        <source>Prehliadač</source>
        <translation>Browser</translation>
    </message>
    <message>
        <source>Stav</source>
        <translation>State</translation>
    </message>
    <message>
        <source>Databáza</source>
        <translation>Database</translation>
    </message>
    <message>
        <source>Certifikáty</source>
        <translation>Certificates</translation>
    </message>
    <message>
        <source>Certifikát aplikácie Kavrel sa nepodarilo prečítať zo súboru:</source>
        <translation>Could not read the Kavrel certificate from the file:</translation>
    </message>
    <message>
        <source>Prehľadávam úložiská certifikátov...</source>
        <translation>Looking through the certificate stores...</translation>
    </message>
    <message>
        <source>Certifikát na ručný import: %1</source>
        <translation>Certificate for a manual import: %1</translation>
    </message>
    <message>
        <source>Nenašlo sa žiadne úložisko certifikátov: spustite každý prehliadač aspoň raz.</source>
        <translation>No certificate store was found: start every browser at least once.</translation>
    </message>
    <message>
        <source>Niektoré úložiská nedôverujú certifikátu aplikácie Kavrel: prehliadače, ktoré ich používajú, sa s ňou nespoja.</source>
        <translation>Some stores do not trust the Kavrel certificate: browsers that use them cannot connect to it.</translation>
    </message>
    <message>
        <source>Všetky nájdené úložiská dôverujú certifikátu aplikácie Kavrel.</source>
        <translation>Every store found trusts the Kavrel certificate.</translation>
    </message>
</context>
<context>
    <name>Utils</name>
    <message>
        <source>Aplikácia bude ukončená.</source>
        <translation>Application will be terminated.</translation>
    </message>
    <message>
        <source>Nastala závažná chyba: </source>
        <translation>A critical error occured:</translation>
    </message>
    <message>
        <source>Nepodarilo sa prečítať informácie o stave.</source>
        <translation>Could not read file with state informations.</translation>
    </message>
</context>
</TS>
