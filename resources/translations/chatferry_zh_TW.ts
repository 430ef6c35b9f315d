<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Marrowquist Chatferry for Mac</source>
        <translation>Marrowquist Chatferry for Mac</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>No</source>
        <translation>否</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>確定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>中止</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>重試</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>忽略</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Dialog</source>
        <translation>對話方塊</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Are You Sure You Want To Cancel?</source>
        <translation>確定要取消嗎？</translation>
    </message>
</context>
<context>
    <name>LoadLineDbThread</name>
    <message>
        <source>Loading...</source>
        <translation>載入中...</translation>
    </message>
</context>
<context>
    <name>LineAccountSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>對話方塊</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT:</source>
        <translation>請選擇您的 LINE 帳號：</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT</source>
        <translation>選擇 LINE 帳號</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>確定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_A_LINE_ACCOUNT.</source>
        <translation>需要 LINE 帳號。請選擇您的 LINE 帳號。</translation>
    </message>
</context>
<context>
    <name>BackupLineMessagesThread</name>
    <message>
        <source>IDS_BACKING_UP_LINE_MESSAGES</source>
        <translation>正在備份 LINE 訊息...</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_MESSAGES</source>
        <translation>已成功備份 %1 則訊息。</translation>
    </message>
    <message>
        <source>IDS_BACKUP_%1_FILES_NOT_STORED</source>
        <translation>有 %1 個媒體檔案無法儲存；詳情請見記錄檔。</translation>
    </message>
</context>
</TS>
