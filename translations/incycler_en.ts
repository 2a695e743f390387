<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="ja">
<context>
    <name>ControlTexts</name>
    <message>
        <source>エラー</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>切り替え対象の入力ソースを2個以上選択して下さい。</source>
        <translation>Tick at least two inputs to switch between.</translation>
    </message>
</context>
<context>
    <name>EAbstractError</name>
    <message>
        <source>抽象エラー</source>
        <translation>Abstract error</translation>
    </message>
</context>
<context>
    <name>EConvertError</name>
    <message>
        <source>&apos;%1&apos; は %2 型の値として有効な整数値ではありません</source>
        <translation>&apos;%1&apos; is not a valid value of type %2</translation>
    </message>
    <message>
        <source>&apos;%1&apos; は整数ではありません</source>
        <translation>&apos;%1&apos; is not an integer</translation>
    </message>
</context>
<context>
    <name>TFormMain</name>
    <message>
        <source>インサイクラー</source>
        <translation>InCycler</translation>
    </message>
    <message>
        <source>機種：</source>
        <translation>Model:</translation>
    </message>
    <message>
        <source>ポート番号：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>動作設定</source>
        <translation>Schedule</translation>
    </message>
    <message>
        <source>常時切り替え制御を実行する</source>
        <translation>Switch all the time</translation>
    </message>
    <message>
        <source>指定した時刻の間、切り替え制御を実行する</source>
        <extracomment>Followed by the window&apos;s start time, the text between the times, and its end time.</extracomment>
        <translation>Switch only from</translation>
    </message>
    <message>
        <source>～</source>
        <extracomment>Between the two times; the pickers leave it 18 pixels.</extracomment>
        <translation>to</translation>
    </message>
    <message>
        <source>切り替え実行設定</source>
        <translation>Switching</translation>
    </message>
    <message>
        <source>切り替え間隔：</source>
        <translation>Interval:</translation>
    </message>
    <message>
        <source>秒</source>
        <extracomment>Seconds, then minutes: the interval&apos;s units, in a list that leaves them 21 pixels.</extracomment>
        <translation>s</translation>
    </message>
    <message>
        <source>分</source>
        <translation>m</translation>
    </message>
    <message>
        <source>切り替え対象：</source>
        <translation>Inputs:</translation>
    </message>
    <message>
        <source>開始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>自動切り替え停止中</source>
        <translation>Automatic switching stopped</translation>
    </message>
    <message>
        <source>時間指定モード：時間内実行中</source>
        <translation>Time window mode: inside, running</translation>
    </message>
    <message>
        <source>電源状態：</source>
        <translation>Power:</translation>
    </message>
    <message>
        <source>選択状態：</source>
        <translation>Selected:</translation>
    </message>
    <message>
        <source>自動切り替え実行中</source>
        <translation>Automatic switching running</translation>
    </message>
    <message>
        <source>モード：時間指定（時間内実行中）</source>
        <translation>Mode: time window (inside, running)</translation>
    </message>
    <message>
        <source>モード：時間指定（時間外）</source>
        <translation>Mode: time window (outside)</translation>
    </message>
    <message>
        <source>モード：常時切り替え</source>
        <translation>Mode: all the time</translation>
    </message>
    <message>
        <source>COMポートオープンに失敗しました。<byte value="xd"/>
ケーブル接続やポート番号をご確認ください。<byte value="xd"/>
</source>
        <translation>The COM port could not be opened.<byte value="xd"/>
Check the cable and the port number.<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>表示(&amp;S)</source>
        <translation>&amp;Show</translation>
    </message>
    <message>
        <source>終了(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
</context>
</TS>
