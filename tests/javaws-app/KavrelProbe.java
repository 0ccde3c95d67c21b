// A small Java Web Start application that the agent launches for a page: it
// joins the page's session as slave over KAVREL_URL, trusting only the CA in
// KAVREL_CA_FILE, reports what it was given, echoes what the page sends and
// ends when the agent closes the connection. When KAVREL_PROBE_LOG names a
// file, it records there how its connection ended.
//
// Names under .localhost are loopback by definition, but the system resolver
// need not know them (browsers resolve them themselves). So the application
// reaches the agent's listener at KAVREL_BIND_IP through a CONNECT tunnel of
// its own; TLS still runs end to end and checks the host name of KAVREL_URL.
//
// The listener's callbacks run on the HTTP client's threads, where icedtea-web
// denies what the application itself may do (reading the environment, say):
// everything that needs a permission happens on the main thread.
import java.io.FileInputStream;
import java.io.FileWriter;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ProxySelector;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.WebSocket;
import java.nio.charset.StandardCharsets;
import java.security.KeyStore;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CompletionStage;
import java.util.concurrent.CountDownLatch;
import javax.net.ssl.SSLContext;
import javax.net.ssl.TrustManagerFactory;

public class KavrelProbe implements WebSocket.Listener {
    private static final String[] VARIABLES = {"KAVREL_URL", "KAVREL_CA_FILE", "KAVREL_P12_FILE",
                                               "KAVREL_P12_PASSWORD", "KAVREL_BIND_IP"};

    private final CountDownLatch done = new CountDownLatch(1);
    private final StringBuilder partial = new StringBuilder();
    // The report's params without the greeting, made on the main thread.
    private final String seen;
    private volatile int exitCode = 2;
    private volatile String outcome = "";
    private boolean greeted;

    private KavrelProbe(String seen) {
        this.seen = seen;
    }

    public static void main(String[] args) throws Exception {
        KavrelProbe probe = new KavrelProbe(seen());
        try {
            HttpClient client = HttpClient.newBuilder()
                                    .sslContext(trusting(System.getenv("KAVREL_CA_FILE")))
                                    .proxy(tunnelTo(System.getenv("KAVREL_BIND_IP")))
                                    .build();
            client.newWebSocketBuilder().buildAsync(URI.create(System.getenv("KAVREL_URL")), probe).join();
        } catch (Exception e) {
            probe.end(2, "error " + e);
        }
        probe.done.await();
        String log = System.getenv("KAVREL_PROBE_LOG");
        if (log != null) {
            try (FileWriter out = new FileWriter(log, StandardCharsets.UTF_8, true)) {
                out.write(probe.outcome + "\n");
            }
        }
        System.exit(probe.exitCode);
    }

    // The five variables, the options of this virtual machine and its process id.
    private static String seen() {
        StringBuilder env = new StringBuilder();
        for (String name : VARIABLES) {
            String value = System.getenv(name);
            env.append(env.length() == 0 ? "" : ",").append(quote(name)).append(':')
                .append(value == null ? "null" : quote(value));
        }
        StringBuilder jvm = new StringBuilder();
        for (String arg : ManagementFactory.getRuntimeMXBean().getInputArguments())
            jvm.append(jvm.length() == 0 ? "" : ",").append(quote(arg));
        return "\"env\":{" + env + "},\"jvmArgs\":[" + jvm + "],\"pid\":" + ProcessHandle.current().pid();
    }

    // Only the agent's CA; the client checks the host name against it.
    private static SSLContext trusting(String caFile) throws Exception {
        KeyStore store = KeyStore.getInstance(KeyStore.getDefaultType());
        store.load(null, null);
        try (InputStream in = new FileInputStream(caFile)) {
            int i = 0;
            for (Certificate c : CertificateFactory.getInstance("X.509").generateCertificates(in))
                store.setCertificateEntry("ca" + i++, c);
        }
        TrustManagerFactory tmf = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
        tmf.init(store);
        SSLContext context = SSLContext.getInstance("TLS");
        context.init(null, tmf.getTrustManagers(), null);
        return context;
    }

    private static ProxySelector tunnelTo(String address) throws IOException {
        ServerSocket server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        daemon(() -> {
            while (true) {
                try {
                    Socket client = server.accept();
                    daemon(() -> tunnel(client, address));
                } catch (IOException e) {
                    return;
                }
            }
        });
        return ProxySelector.of(new InetSocketAddress(server.getInetAddress(), server.getLocalPort()));
    }

    private static void tunnel(Socket client, String address) {
        try (Socket c = client) {
            InputStream in = c.getInputStream();
            StringBuilder head = new StringBuilder();
            while (!head.toString().endsWith("\r\n\r\n")) {
                int b = in.read();
                if (b < 0)
                    return;
                head.append((char) b);
            }
            // "CONNECT host:port HTTP/1.1": only the port is taken.
            String target = head.toString().split(" ")[1];
            int port = Integer.parseInt(target.substring(target.lastIndexOf(':') + 1));
            try (Socket up = new Socket(address, port)) {
                OutputStream out = c.getOutputStream();
                out.write("HTTP/1.1 200 Connection established\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                out.flush();
                Thread down = daemon(() -> pump(up, c));
                pump(c, up);
                down.join();
            }
        } catch (IOException | InterruptedException | RuntimeException e) {
            e.printStackTrace();
        }
    }

    private static void pump(Socket from, Socket to) {
        try {
            from.getInputStream().transferTo(to.getOutputStream());
            to.shutdownOutput();
        } catch (IOException e) {
            // The other direction ends the tunnel.
        }
    }

    private static Thread daemon(Runnable r) {
        Thread t = new Thread(r);
        t.setDaemon(true);
        t.start();
        return t;
    }

    @Override
    public void onOpen(WebSocket socket) {
        socket.request(1);
    }

    @Override
    public CompletionStage<?> onText(WebSocket socket, CharSequence data, boolean last) {
        partial.append(data);
        if (!last) {
            socket.request(1);
            return null;
        }
        String text = partial.toString();
        partial.setLength(0);
        // The agent greets first; after that everything comes from the page.
        String answer = text;
        if (!greeted) {
            greeted = true;
            answer = "{\"jsonrpc\":\"2.0\",\"method\":\"probe.report\",\"params\":{\"greeting\":" + quote(text) + ","
                + seen + "}}";
        }
        return socket.sendText(answer, true).thenAccept(ws -> ws.request(1));
    }

    @Override
    public CompletionStage<?> onClose(WebSocket socket, int statusCode, String reason) {
        end(0, "closed " + statusCode);
        return CompletableFuture.completedFuture(null);
    }

    @Override
    public void onError(WebSocket socket, Throwable error) {
        end(2, "error " + error);
    }

    private synchronized void end(int code, String how) {
        if (done.getCount() == 0)
            return;
        outcome = how;
        exitCode = code;
        done.countDown();
    }

    private static String quote(String s) {
        StringBuilder out = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            if (c == '"' || c == '\\')
                out.append('\\').append(c);
            else if (c < 0x20)
                out.append(String.format("\\u%04x", (int) c));
            else
                out.append(c);
        }
        return out.append('"').toString();
    }
}
