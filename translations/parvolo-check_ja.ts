<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>CheckTexts</name>
    <message>
        <source>--%1 takes a whole number from %2 to %3, not &apos;%4&apos;</source>
        <translation>--%1 には %2 から %3 までの整数を指定してください (&apos;%4&apos; は無効です)</translation>
    </message>
    <message>
        <source>--%1 takes %2, not &apos;%3&apos;</source>
        <translation>--%1 には %2 のいずれかを指定してください (&apos;%3&apos; は無効です)</translation>
    </message>
    <message>
        <source>--duration takes seconds from 0.001 to %1, not &apos;%2&apos;</source>
        <translation>--duration には 0.001 から %1 までの秒数を指定してください (&apos;%2&apos; は無効です)</translation>
    </message>
    <message>
        <source>--text must not be empty</source>
        <translation>--text に空の文字列は指定できません</translation>
    </message>
    <message>
        <source>--text is %1 characters long; a block holds at most %2</source>
        <translation>--text が %1 文字あります。1 ブロックは最大 %2 文字です</translation>
    </message>
    <message>
        <source>--text: &apos;%1&apos; (position %2) is not one byte in CP932; use ASCII or half-width katakana</source>
        <translation>--text: &apos;%1&apos; (%2 文字目) は CP932 で 1 バイトの文字ではありません。ASCII か半角カタカナを使ってください</translation>
    </message>
    <message>
        <source>%1 given twice</source>
        <translation>%1 が 2 回指定されています</translation>
    </message>
    <message>
        <source>Show this help and exit.</source>
        <translation>このヘルプを表示して終了します。</translation>
    </message>
    <message>
        <source>Show the version and exit.</source>
        <translation>バージョンを表示して終了します。</translation>
    </message>
    <message>
        <source>Line rate in bit/s (9600).</source>
        <translation>通信速度 (bit/s、既定 9600)。</translation>
    </message>
    <message>
        <source>7 or 8 (8).</source>
        <translation>7 または 8 (既定 8)。</translation>
    </message>
    <message>
        <source>none, even, odd, mark or space (none).</source>
        <translation>none、even、odd、mark、space のいずれか (既定 none)。</translation>
    </message>
    <message>
        <source>1 or 2 (1).</source>
        <translation>1 または 2 (既定 1)。</translation>
    </message>
    <message>
        <source>Flow control: none, rtscts or xonxoff (none).</source>
        <translation>フロー制御: none、rtscts、xonxoff のいずれか (既定 none)。</translation>
    </message>
    <message>
        <source>Send TEXT as each block (%1).</source>
        <translation>各ブロックとして TEXT を送ります (既定 %1)。</translation>
    </message>
    <message>
        <source>Send the fox sentence as each block.</source>
        <translation>各ブロックとして FOX データ (quick brown fox の例文) を送ります。</translation>
    </message>
    <message>
        <source>Send count-up data: the block number in ten digits, A-Z, CR LF.</source>
        <translation>カウントアップデータを送ります: 10 桁のブロック番号、A-Z、CR LF。</translation>
    </message>
    <message>
        <source>Stop after N blocks (1000); 0 with --lines checks only the lines.</source>
        <translation>N ブロックで終了します (既定 1000)。--lines と合わせて 0 にすると信号線だけを確認します。</translation>
    </message>
    <message>
        <source>Send blocks for SECONDS, then let the last one finish.</source>
        <translation>SECONDS 秒間ブロックを送り、最後のブロックが終わるのを待ちます。</translation>
    </message>
    <message>
        <source>Send blocks until Ctrl+C.</source>
        <translation>Ctrl+C まで送り続けます。</translation>
    </message>
    <message>
        <source>Write the report as JSON to FILE (- for stdout).</source>
        <translation>レポートを JSON で FILE に書き出します (- なら標準出力)。</translation>
    </message>
    <message>
        <source>Also check that CTS follows RTS and DSR and DCD follow DTR (a DE-9 loopback plug).</source>
        <translation>CTS が RTS に、DSR と DCD が DTR に追従することも確認します (DE-9 のループバックプラグ)。</translation>
    </message>
    <message>
        <source>No summary and no progress line on stderr.</source>
        <translation>標準エラー出力に結果の要約も進行状況も出しません。</translation>
    </message>
    <message>
        <source>Keep several blocks in flight, so that the line never idles; every byte is still compared.</source>
        <translation>応答待ちのブロックを複数保ち、回線を休ませません。それでも全バイトを照合します。</translation>
    </message>
    <message>
        <source>With --stream, N blocks in flight (default: sized from the line rate and the first block&apos;s round trip).</source>
        <translation>--stream のときに応答待ちにしておくブロック数 N (既定: 通信速度と最初のブロックの往復時間から決定)。</translation>
    </message>
    <message>
        <source>When stderr is not a terminal, one status line every SECONDS (default 60; 0: none).</source>
        <translation>標準エラー出力が端末でないとき、SECONDS 秒ごとに状況を 1 行出します (既定 60、0 で出さない)。</translation>
    </message>
    <message>
        <source>When the device goes away mid-run, wait up to SECONDS for it to come back, reopen it and go on; the outage is counted and the run never passes.</source>
        <translation>実行中にデバイスが消えたら、戻るまで最大 SECONDS 秒待ち、開き直して続けます。切断は回数に数えられ、その実行は合格になりません。</translation>
    </message>
    <message>
        <source>Also write one self-contained HTML page of the run to FILE: the rate over time with every failure and outage marked.</source>
        <translation>実行の記録を単体で開ける HTML ページとして FILE にも書き出します: 速度の推移と、すべての不良・切断の位置。</translation>
    </message>
    <message>
        <source>Write every event with its time to FILE as JSON Lines, as it happens (- for stdout).</source>
        <translation>すべてのイベントを、起きた時点で時刻付きの JSON Lines として FILE に書き出します (- なら標準出力)。</translation>
    </message>
    <message>
        <source>Bring the JSON report up to date every SECONDS during the run, marked as in progress (default 60; 0: only at the end).</source>
        <translation>実行中は SECONDS 秒ごとに JSON レポートを実行中の印付きで更新します (既定 60、0 なら終了時のみ)。</translation>
    </message>
    <message>
        <source>Also write the result as JUnit XML to FILE (- for stdout), one test case per PORT.</source>
        <translation>結果を JUnit XML として FILE にも書き出します (- なら標準出力)。PORT ごとに 1 テストケースです。</translation>
    </message>
    <message>
        <source>no PORT given</source>
        <translation>PORT が指定されていません</translation>
    </message>
    <message>
        <source>choose one of --text, --fox and --count-up</source>
        <translation>--text、--fox、--count-up のどれか 1 つを選んでください</translation>
    </message>
    <message>
        <source>choose one of --blocks, --duration and --continuous</source>
        <translation>--blocks、--duration、--continuous のどれか 1 つを選んでください</translation>
    </message>
    <message>
        <source>--blocks 0 checks nothing without --lines</source>
        <translation>--lines なしの --blocks 0 では何も確認しません</translation>
    </message>
    <message>
        <source>--lines drives RTS itself; use it with --flow none or xonxoff</source>
        <translation>--lines は RTS を自分で操作します。--flow none か xonxoff と一緒に使ってください</translation>
    </message>
    <message>
        <source>--json needs a FILE or -</source>
        <translation>--json には FILE か - を指定してください</translation>
    </message>
    <message>
        <source>--html needs a FILE</source>
        <translation>--html には FILE を指定してください</translation>
    </message>
    <message>
        <source>--log needs a FILE or -</source>
        <translation>--log には FILE か - を指定してください</translation>
    </message>
    <message>
        <source>--in-flight needs --stream</source>
        <translation>--in-flight には --stream が必要です</translation>
    </message>
    <message>
        <source>--list takes no PORT and no option but --json</source>
        <translation>--list には PORT も --json 以外のオプションも指定できません</translation>
    </message>
    <message>
        <source>--junit needs a FILE</source>
        <translation>--junit には FILE を指定してください</translation>
    </message>
    <message>
        <source>--junit and --json name the same FILE</source>
        <translation>--junit と --json に同じ FILE が指定されています</translation>
    </message>
    <message>
        <source>--log names the same FILE as a report</source>
        <translation>--log にレポートと同じ FILE が指定されています</translation>
    </message>
    <message>
        <source>%1 at block %2, byte %3 of the block (byte %4 sent)</source>
        <translation>%1: ブロック %2 の %3 バイト目 (送信全体で %4 バイト目)</translation>
    </message>
    <message>
        <source>a counter reached 2147483647; the run ended there</source>
        <translation>カウンターが 2147483647 に達したため、そこで終了しました</translation>
    </message>
    <message>
        <source>nothing was checked: only the lines were asked for</source>
        <translation>何も確認していません: 指定されたのは信号線の確認だけでした</translation>
    </message>
    <message>
        <source>interrupted; the block in flight was not counted</source>
        <translation>中断しました。応答待ちのブロックは数えていません</translation>
    </message>
    <message>
        <source>nothing came back within the first block&apos;s time-out</source>
        <translation>最初のブロックのタイムアウトまでに何も戻りませんでした</translation>
    </message>
    <message>
        <source>the device went away mid-run</source>
        <translation>実行中にデバイスが消えました</translation>
    </message>
    <message>
        <source>the device went away mid-run: %1</source>
        <translation>実行中にデバイスが消えました: %1</translation>
    </message>
    <message>
        <source>the server closed the connection mid-run</source>
        <translation>実行中にサーバーが接続を切りました</translation>
    </message>
    <message>
        <source>the server went away mid-run: %1</source>
        <translation>実行中にサーバーとの接続が失われました: %1</translation>
    </message>
    <message>
        <source>the far end stopped answering: %1 blocks in a row timed out with nothing received</source>
        <translation>相手側が応答しなくなりました: %1 ブロック続けて何も受信できずにタイムアウトしました</translation>
    </message>
    <message>
        <source>error</source>
        <translation>エラー</translation>
    </message>
    <message>
        <source>note</source>
        <translation>注記</translation>
    </message>
    <message>
        <source>port</source>
        <translation>ポート</translation>
    </message>
    <message>
        <source> (link %1)</source>
        <translation> (リンク %1)</translation>
    </message>
    <message>
        <source>remote</source>
        <translation>リモート</translation>
    </message>
    <message>
        <source>over RFC 2217; the modem lines as the server reported them</source>
        <translation>RFC 2217 経由。モデム信号線はサーバーの報告どおり</translation>
    </message>
    <message>
        <source>over RFC 2217; no modem lines known from the server</source>
        <translation>RFC 2217 経由。サーバーからモデム信号線の状態は得られていません</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>設定</translation>
    </message>
    <message>
        <source>; server answered </source>
        <translation>、サーバーの応答値 </translation>
    </message>
    <message>
        <source>; driver read back </source>
        <translation>、ドライバーの読み戻し値 </translation>
    </message>
    <message>
        <source>lines</source>
        <translation>信号線</translation>
    </message>
    <message>
        <source>data</source>
        <translation>データ</translation>
    </message>
    <message>
        <source>%1-character blocks (%2), time-out %3 ms, %4</source>
        <translation>%1 文字のブロック (%2)、タイムアウト %3 ms、%4</translation>
    </message>
    <message>
        <source>stream: up to %1 blocks in flight</source>
        <translation>ストリーム: 応答待ちは最大 %1 ブロック</translation>
    </message>
    <message>
        <source>one block at a time</source>
        <translation>1 ブロックずつ</translation>
    </message>
    <message>
        <source>blocks</source>
        <translation>ブロック</translation>
    </message>
    <message>
        <source>%1 completed, %2 timed out, in %3 s</source>
        <translation>完了 %1、タイムアウト %2、所要 %3 秒</translation>
    </message>
    <message>
        <source>outages</source>
        <translation>切断</translation>
    </message>
    <message>
        <source>%1, %2 s in all; the device went away and came back</source>
        <translation>%1 回、計 %2 秒。デバイスが消えて戻りました</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>バイト</translation>
    </message>
    <message>
        <source>%1 received, %2 matched, %3 mismatches, first mismatch at %4</source>
        <translation>受信 %1、一致 %2、不一致 %3 回、最初の不一致位置 %4</translation>
    </message>
    <message>
        <source>compared</source>
        <translation>照合</translation>
    </message>
    <message>
        <source>%1 bytes; %2 extra, %3 missing, %4 timed out</source>
        <translation>%1 バイト。余分 %2、欠落 %3、タイムアウト %4</translation>
    </message>
    <message>
        <source>first fault</source>
        <translation>最初の不良</translation>
    </message>
    <message>
        <source>the server reported none</source>
        <translation>サーバーからの報告なし</translation>
    </message>
    <message>
        <source>not kept by this driver</source>
        <translation>このドライバーは数えていません</translation>
    </message>
    <message>
        <source>line errors</source>
        <translation>ラインエラー</translation>
    </message>
    <message>
        <source>unknown: the server sent no line-state report</source>
        <translation>不明: サーバーからライン状態の報告がありません</translation>
    </message>
    <message>
        <source>not seen: the driver %1 cannot report them, so a pass says nothing of them</source>
        <translation>検出不可: ドライバー %1 は報告できないため、合格でもラインエラーがなかったとは言えません</translation>
    </message>
    <message>
        <source>server notifications</source>
        <translation>サーバー通知</translation>
    </message>
    <message>
        <source>kernel</source>
        <translation>カーネル</translation>
    </message>
    <message>
        <source>rate</source>
        <translation>速度</translation>
    </message>
    <message>
        <source>%1 B/s compared; the line settings allow %2 B/s</source>
        <translation>照合 %1 B/s。通信設定の上限は %2 B/s</translation>
    </message>
    <message>
        <source>round trip</source>
        <translation>往復時間</translation>
    </message>
    <message>
        <source>min %1 µs, median %2 µs, p99 %3 µs, max %4 µs</source>
        <translation>最小 %1 µs、中央値 %2 µs、p99 %3 µs、最大 %4 µs</translation>
    </message>
    <message>
        <source>it did not come back within %1 s</source>
        <translation>%1 秒以内に戻りませんでした</translation>
    </message>
    <message>
        <source>the device has no modem lines</source>
        <translation>デバイスにモデム信号線がありません</translation>
    </message>
    <message>
        <source>stayed off with %1 on</source>
        <translation>%1 がオンでもオフのまま</translation>
    </message>
    <message>
        <source>stayed on with %1 off</source>
        <translation>%1 がオフでもオンのまま</translation>
    </message>
    <message>
        <source>Try &apos;parvolo-check --help&apos; for more information.</source>
        <translation>詳しくは &apos;parvolo-check --help&apos; を実行してください。</translation>
    </message>
    <message>
        <source>cannot write the report %1: %2</source>
        <translation>レポート %1 を書き出せません: %2</translation>
    </message>
    <message>
        <source>no COM number given: %1</source>
        <translation>COM 番号を割り当てられませんでした: %1</translation>
    </message>
    <message>
        <source>nothing read the report for %1 s</source>
        <translation>%1 秒のあいだ誰もレポートを読みませんでした</translation>
    </message>
    <message>
        <source>a FIFO that nothing reads</source>
        <translation>読み手のいない FIFO です</translation>
    </message>
    <message>
        <source>reason</source>
        <translation>理由</translation>
    </message>
    <message>
        <source>%1: ports are COM1 to COM%2</source>
        <translation>%1: ポートは COM1 から COM%2 までです</translation>
    </message>
    <message>
        <source>%1: PORT is COM1..COM%2, a device path such as /dev/ttyUSB0, serial:NUMBER (a USB serial number) or rfc2217://HOST:PORT</source>
        <translation>%1: PORT には COM1..COM%2、/dev/ttyUSB0 のようなデバイスパス、serial:NUMBER (USB のシリアル番号)、rfc2217://HOST:PORT のいずれかを指定してください</translation>
    </message>
    <message>
        <source>List COM1..COM%1 and the serial devices, without opening any, and exit (with --json, as JSON).</source>
        <translation>COM1..COM%1 とシリアルデバイスを、どれも開かずに一覧表示して終了します (--json があれば JSON で)。</translation>
    </message>
    <message>
        <source>Sends blocks of test data to each PORT, all at once, compares what comes back
byte by byte and ends with an exit code that tells scripts the result: with
several ports, the highest exit code of any. PORT is COM1..COM%1, resolved as
the Parvolo window resolves it, a device path, serial:NUMBER (a USB serial
number) or rfc2217://HOST:PORT.</source>
        <translation>各 PORT にテストデータのブロックを一斉に送り、戻ってきたデータを 1 バイトずつ
照合して、結果をスクリプトに終了コードで伝えます。複数のポートでは、その中で
最も大きい終了コードを返します。PORT には COM1..COM%1 (Parvolo のウィンドウと
同じように解決)、デバイスパス、serial:NUMBER (USB のシリアル番号)、
rfc2217://HOST:PORT のいずれかを指定します。</translation>
    </message>
    <message>
        <source>COM1..COM%1, a device path, serial:NUMBER or rfc2217://HOST:PORT; one or more.</source>
        <translation>COM1..COM%1、デバイスパス、serial:NUMBER、rfc2217://HOST:PORT のいずれか。1 つ以上。</translation>
    </message>
</context>
</TS>
