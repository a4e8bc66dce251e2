<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>BubbleViewMgr</name>
    <message>
        <source>can not find %1.</source>
        <translation>can not find %1.</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT</source>
        <translation>Save Attachment</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_SUC</source>
        <translation>Attachment saved successfully.</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_FILE_ERROR</source>
        <translation>Failed to save attachment.</translation>
    </message>
</context>
<context>
    <name>AttachmentExtractThread</name>
    <message>
        <source>Cannot create the folder %1.</source>
        <translation>Cannot create the folder %1.</translation>
    </message>
    <message>
        <source>IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2</source>
        <translation>Successfully extacted %1 MMS attachment to %2.</translation>
    </message>
    <message>
        <source>IDS_EXTRACTING_MEDIA_FILES</source>
        <translation>Extracting MMS attachment now.Please wait...</translation>
    </message>
    <message>
        <source>Cannot copy %1 to %2.</source>
        <translation>Cannot copy %1 to %2.</translation>
    </message>
</context>
<context>
    <name>BackupSMSThread</name>
    <message>
        <source>IDS_BACKING_UP_SMS</source>
        <translation>Backing up Messages to Local Database...</translation>
    </message>
    <message>
        <source>SMS: %1/%2</source>
        <translation>SMS: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_SMS</source>
        <translation>Successfully Backup %1 Messages to local Database.</translation>
    </message>
    <message>
        <source>IDS_SKIPPED_%1_SMS</source>
        <translation>%1 of them were not copied: their conversation is missing, recovered or of a service a local database cannot hold.</translation>
    </message>
</context>
<context>
    <name>CountrySelForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>IDS_SEL_YOUR_PHONE_COUNTRY</source>
        <translation>Select your country code:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY</source>
        <translation>Please select a country code first to continue.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SEL_COUNTRY_%1</source>
        <translation>Confirm to select %1?</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>IOSLoadFileRelayThread</name>
    <message>
        <source>IDS_LOADING_IOS_DATABASES</source>
        <translation>Loading messages from iPhone...</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>IDS_BACKING_UP_IOS</source>
        <translation>Backing up iPhone...</translation>
    </message>
</context>
<context>
    <name>IOSDevice</name>
    <message>
        <source>The iPhone gave no usable device identifier.</source>
        <translation>The iPhone gave no usable device identifier.</translation>
    </message>
</context>
<context>
    <name>MobileDevice</name>
    <message>
        <source>This computer could not keep its pairing with the iPhone: usbmuxd could not save or read the pair record (usbmuxd keeps them in /var/lib/lockdown). Please check that folder, then unplug the phone and plug it in again.</source>
        <translation>This computer could not keep its pairing with the iPhone: usbmuxd could not save or read the pair record (usbmuxd keeps them in /var/lib/lockdown). Please check that folder, then unplug the phone and plug it in again.</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>IDS_RESTORING_BACKUP_TO_IOS</source>
        <translation>Restoring iPhone...</translation>
    </message>
</context>
<context>
    <name>ITunesCacheSMSThread</name>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>Loading iTunes backup...</translation>
    </message>
    <message>
        <source>IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP</source>
        <translation>Found no message database file in this iTunes backup.</translation>
    </message>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>Saving %1...</translation>
    </message>
    <message>
        <source>IDS_SKIPPED_%1_BACKUP_FILES</source>
        <translation>Files of the backup left out because they could not be read or have no place in the copy: %1 (the log names each one).</translation>
    </message>
</context>
<context>
    <name>IOS6RestoreMessagesThread</name>
    <message>
        <source>IDS_MERGING_IOS6_MESSAGES</source>
        <translation>Saving messages to iPhone...</translation>
    </message>
    <message>
        <source>IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG</source>
        <translation>No message for recovering. Only found %1 messages with unknown contact info. Please right click the messages to set contact info first and try again.</translation>
    </message>
    <message>
        <source>IDS_CANT_RESTORE_IOS_VERSION_BELOW_60</source>
        <translation>Failed to recover. Only iOS 6 or above is supported.</translation>
    </message>
</context>
<context>
    <name>DeleteMMSThread</name>
    <message>
        <source>IDS_DELETING_MMS</source>
        <translation>Deleting Messages...</translation>
    </message>
    <message>
        <source>Messages: %1/%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
    <message>
        <source>Attachments: %1/%2</source>
        <translation>Attachments: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_DELETE_%1_MESSAGES</source>
        <translation>Successfully Deleted %1 Messages.</translation>
    </message>
</context>
<context>
    <name>ExportMessagesThread</name>
    <message>
        <source>IDS_EXPORTING_MESSAGES_TO_FILE</source>
        <translation>Exporting Messages...</translation>
    </message>
    <message>
        <source>IDS_SUC_EXPORT_%1_MMS</source>
        <translation>Successfully exported %1 Messages.</translation>
    </message>
    <message>
        <source>Messages: %1/%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
</context>
<context>
    <name>ItemModelMain</name>
    <message>
        <source>IDS_ROOT_DEVICE</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>IDS_ROOT_LOCALDB</source>
        <translation>Local Databases</translation>
    </message>
</context>
<context>
    <name>LoadItunesBackupDlg</name>
    <message>
        <source>IDS_SELECT_AN_ITUNES_BACKUP_TO_LOAD</source>
        <translation>Please select an iTunes Backup to load.</translation>
    </message>
    <message>
        <source>IDS_NO_BACKUP_LISTED_THERE_CLICK_&lt;a href=&quot;#&quot;&gt;Here&lt;/a&gt;_ADD</source>
        <translation>Can't find your iTunes Backup on the list? Please manually import it by clicking &lt;a href=&quot;#&quot;&gt;HERE&lt;/a&gt;.</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>Load</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_LOAD_BK_EXISTS</source>
        <translation>This iTunes Backup has been listed on the left.</translation>
    </message>
    <message>
        <source>IDS_BK_NEWER_FORMAT</source>
        <translation>This backup was made by iOS 10 or later (it has Manifest.db, not Manifest.mbdb); Tallowmere reads backups with Manifest.mbdb.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP</source>
        <translation>Need to select an iTunes Backup to continue.</translation>
    </message>
</context>
<context>
    <name>LocalDbSelForm</name>
    <message>
        <source>选择或输入新的数据库名称:</source>
        <translation>Select current database to merge or enter a new database name:</translation>
    </message>
    <message>
        <source>选择现有的数据库会将短信息附加到里面,输入新的名字会创建新的本地数据库.</source>
        <translation>Selecting current Database will merge messages;entering new DB name will create a new Database.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择要备份到哪个数据库</source>
        <translation>Select one Database for backup</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME</source>
        <translation>Select one Database or enter a new Database name</translation>
    </message>
    <message>
        <source>IDS_INVALID_LOCALDB_NAME</source>
        <translation>Invalid Local Database name(can't contain \ / : * ? &quot; &lt; &gt; | or control characters, can't be . or .., and at most 200 bytes).</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>unknown export format.</source>
        <translation>unknown export format.</translation>
    </message>
    <message>
        <source>Messages: 0</source>
        <translation>Messages: 0</translation>
    </message>
    <message>
        <source>IDS_NO_WEB_HOST</source>
        <translation>This copy of Tallowmere has no web site configured.</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_IOS_DEVICE</source>
        <translation>Please select an iPhone:</translation>
    </message>
    <message>
        <source>IDS_CANT_RESTORE_IOS_VERSION_BELOW_60</source>
        <translation>Failed to recover. Only iOS 6 or above is supported.</translation>
    </message>
    <message>
        <source>IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF</source>
        <translation>&lt;p&gt;&lt;b&gt;Notes:&lt;/b&gt;&lt;/p&gt;&lt;p&gt;1. If your iPhone is protected with a passcode, please enter your passcode on iPhone first.&lt;/p&gt;&lt;p&gt;2. Make sure &quot;iCloud Backup&quot; is turned off on your iPhone.&lt;/p&gt;&lt;p&gt;3. &quot;Find My iPhone&quot; must be disabled before restoring.&lt;/p&gt;&lt;p&gt;&lt;a href=&quot;%1&quot;&gt;detail&lt;/a&gt;&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Messages: %1</source>
        <translation>Messages: %1</translation>
    </message>
    <message>
        <source>All</source>
        <translation>All</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0</source>
        <translation>Find no contact with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUND_AND_MESSAGES</source>
        <translation>Can't find any Message.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0</source>
        <translation>Find no Message with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_THIS_LOCALDB</source>
        <translation>Confirm to delete this Database?</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_SUC</source>
        <translation>Successfully Deleted Database %0.</translation>
    </message>
    <message>
        <source>IDS_SUC_CLEAR_CACHE</source>
        <translation>Successfully cleared cache files.</translation>
    </message>
    <message>
        <source>IDS_CLEAR_CACHE_FAILED</source>
        <translation>Some cache files could not be deleted.</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_FAILED_%0</source>
        <translation>Failed to delete Database %1: some of its files could not be deleted.</translation>
    </message>
    <message>
        <source>IDS_ANDROID_%1_CANT_READ_MMC_NUMBER</source>
        <translation>Failed to load country code from your phone. Please click &quot;OK&quot; button to select a country code manually.</translation>
    </message>
    <message>
        <source>IDS_TITLE_EXTRACT_MEDIA_FILES</source>
        <translation>Extracting media files now...</translation>
    </message>
    <message>
        <source>IDS_SEL_EXPORT_MESSAGES_PATH</source>
        <translation>Please select Save Path for messages.</translation>
    </message>
    <message>
        <source>IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES</source>
        <translation>Please select Save Path for media files.</translation>
    </message>
    <message>
        <source>Text Files(*.txt)</source>
        <translation>Text Files(*.txt)</translation>
    </message>
    <message>
        <source>Doc Files(*.doc)</source>
        <translation>Doc Files(*.doc)</translation>
    </message>
    <message>
        <source>CSV Files(*.csv)</source>
        <translation>CSV Files(*.csv)</translation>
    </message>
    <message>
        <source>PDF Files(*.pdf)</source>
        <translation>PDF Files(*.pdf)</translation>
    </message>
    <message>
        <source>HTML Files(*.html)</source>
        <translation>HTML Files(*.html)</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_SEL_MMS</source>
        <translation>Confirm to delete the selected Messages?</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_CHAT_MMS</source>
        <translation>Confirm to delete Messages with this contact?</translation>
    </message>
    <message>
        <source>IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT</source>
        <translation>Failed to export messages to iTunes backup because your current iTunes backup is encrypted.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER</source>
        <translation>Successfully recovered %1 messages to iPhone. %2 messages with unknown contact info can&apos;t be recovered. Please right click the messages to set contact info to try again.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS</source>
        <translation>Successfully recovered %1 messages to iPhone.</translation>
    </message>
</context>
<context>
    <name>MMSPrinter</name>
    <message>
        <source>IDS_PRINT_MMS</source>
        <translation>Print Messages</translation>
    </message>
</context>
<context>
    <name>PasscodeDlg</name>
    <message>
        <source>IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP</source>
        <translation>This iTunes Backup is encrypted. Please enter password:</translation>
    </message>
    <message>
        <source>IDS_ENTER_PASSWORD</source>
        <translation>Enter password</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_PWD_IS_NULL</source>
        <translation>Password is required.</translation>
    </message>
    <message>
        <source>IDS_INVALID_PASSWORD</source>
        <translation>Invalid password.</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES_NO_LINK</source>
        <translation>Failed to load (Apple Mobile Device) framework.</translation>
    </message>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES</source>
        <translation>Failed to load (Apple Mobile Device) framework. Please click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt; for help.</translation>
    </message>
    <message>
        <source>Tallowmere</source>
        <translation>Tallowmere</translation>
    </message>
    <message>
        <source>An Error Occurred. &lt;br/&gt;&lt;br/&gt;%1&lt;br/&gt;&lt;br/&gt;</source>
        <translation>An Error Occurred. &lt;br/&gt;&lt;br/&gt;%1&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source> Or you can contact %1 for help.</source>
        <translation> Or you can contact %1 for help.</translation>
    </message>
    <message>
        <source>Backup Messages to Local Database</source>
        <translation>Backup Messages to Local Database</translation>
    </message>
    <message>
        <source>Extract MMS attachment</source>
        <translation>Extract MMS attachment</translation>
    </message>
    <message>
        <source>Export Messages to File</source>
        <translation>Export Messages to File</translation>
    </message>
    <message>
        <source>Print Messages</source>
        <translation>Print Messages</translation>
    </message>
    <message>
        <source>Delete Messages</source>
        <translation>Delete Messages</translation>
    </message>
    <message>
        <source>Import Messages from iTunes Backup to Local Database</source>
        <translation>Import Messages from iTunes Backup to Local Database</translation>
    </message>
    <message>
        <source>Open Database Folder</source>
        <translation>Open Database Folder</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Check for Update</source>
        <translation>Check for Update</translation>
    </message>
    <message>
        <source>Clear Cache files</source>
        <translation>Clear Cache files</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>Feedback and Support</source>
        <translation>Feedback and Support</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>View Cache Files</source>
        <translation>View Cache Files</translation>
    </message>
    <message>
        <source>Disconnect Device</source>
        <translation>Disconnect Device</translation>
    </message>
    <message>
        <source>Import Messages from iTunes Backup to this Local Database</source>
        <translation>Import Messages from iTunes Backup to this Local Database</translation>
    </message>
    <message>
        <source>Delete this Database</source>
        <translation>Delete this Database</translation>
    </message>
    <message>
        <source>Backup Messages with this contact to Local Database</source>
        <translation>Backup Messages with this contact to Local Database</translation>
    </message>
    <message>
        <source>Extract attachment from MMS with this contact</source>
        <translation>Extract attachment from MMS with this contact</translation>
    </message>
    <message>
        <source>Export Messages with this contact to File</source>
        <translation>Export Messages with this contact to File</translation>
    </message>
    <message>
        <source>Print Messages with this contact</source>
        <translation>Print Messages with this contact</translation>
    </message>
    <message>
        <source>Delete Messages with this contact</source>
        <translation>Delete Messages with this contact</translation>
    </message>
    <message>
        <source>Backup selected Messages to Local Database</source>
        <translation>Backup selected Messages to Local Database</translation>
    </message>
    <message>
        <source>Extract attachment from selected Messages</source>
        <translation>Extract attachment from selected Messages</translation>
    </message>
    <message>
        <source>Export selected Messages to File</source>
        <translation>Export selected Messages to File</translation>
    </message>
    <message>
        <source>Print selected Messages</source>
        <translation>Print selected Messages</translation>
    </message>
    <message>
        <source>Delete selected Messages</source>
        <translation>Delete selected Messages</translation>
    </message>
    <message>
        <source>IDS_SEL_ONE_IOS_DEVICE</source>
        <translation>Please select an iPhone:</translation>
    </message>
</context>
<context>
    <name>UpdateLocalDbThread</name>
    <message>
        <source>IDS_UPDATING_LOCALDB_%1_MESSAGES</source>
        <translation>Updating local database %1 messages...</translation>
    </message>
    <message>
        <source>IDS_SUC_UPDATE_LOCALDB</source>
        <translation>Successfully updated local database. Please restart software.</translation>
    </message>
    <message>
        <source>IDS_%1_OLD_MESSAGES_WITHOUT_ADDRESS</source>
        <translation>%1 old messages without a contact address were not converted; they stay readable in the old database file, now named mms.db-bak.</translation>
    </message>
    <message>
        <source>IDS_CANNOT_RENAME_OLD_LOCALDB_%1</source>
        <translation>The old local database %1 was converted, but it could not be renamed, so it will be converted again at the next start. Please check that its folder is writable.</translation>
    </message>
</context>
<context>
    <name>SetMsgNumDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>IDS_SET_MESSAGE_NUMBER</source>
        <translation>Set Contact Info for Message</translation>
    </message>
    <message>
        <source>IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT</source>
        <translation>Phone number is required.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1</source>
        <translation>Confirm to set phone number as %1 for the message?</translation>
    </message>
</context>
<context>
    <name>DataSourceSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>IDS_TITLE_SELECT_ONE_DEVICE_TO_TRANSFER</source>
        <translation>Please select a Device.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_DATASOURCE</source>
        <translation>Need to select a Device to continue.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>AboutUsForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Copyright (C) %1 VarnelQuist. All rights reserved.</source>
        <translation>Copyright (C) %1 VarnelQuist. All rights reserved.</translation>
    </message>
    <message>
        <source>Home page</source>
        <translation>Home page</translation>
    </message>
</context>
</TS>
