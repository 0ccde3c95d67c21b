// A small Java Web Start application that the agent launches for a page: it
// joins the page's session through the application kit
// (clients/java/com/obrenta/kavrel/KavrelSession.java), reports what it was
// given, echoes what the page sends and ends when the agent closes the
// connection. Asked with "probe.ask", it asks the page in turn through the
// kit's request() and reports what came back as "probe.asked". When KAVREL_PROBE_LOG names a file, it records there how its
// connection ended.
import com.obrenta.kavrel.KavrelSession;
import java.io.FileWriter;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CountDownLatch;

public class KavrelProbe implements KavrelSession.Listener {
    private static final String[] VARIABLES = {"KAVREL_URL", "KAVREL_CA_FILE", "KAVREL_P12_FILE",
                                               "KAVREL_P12_PASSWORD", "KAVREL_BIND_IP"};

    private final CountDownLatch done = new CountDownLatch(1);
    private volatile int exitCode = 2;
    private volatile String outcome = "";

    public static void main(String[] args) throws Exception {
        KavrelProbe probe = new KavrelProbe();
        try {
            KavrelSession session = KavrelSession.connect(probe);
            // The agent greets first; after that everything comes from the page.
            session.send("{\"jsonrpc\":\"2.0\",\"method\":\"probe.report\",\"params\":{\"greeting\":"
                               + KavrelSession.quote(session.greeting()) + "," + seen() + "}}");
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
            env.append(env.length() == 0 ? "" : ",").append(KavrelSession.quote(name)).append(':')
                .append(value == null ? "null" : KavrelSession.quote(value));
        }
        StringBuilder jvm = new StringBuilder();
        for (String arg : ManagementFactory.getRuntimeMXBean().getInputArguments())
            jvm.append(jvm.length() == 0 ? "" : ",").append(KavrelSession.quote(arg));
        return "\"env\":{" + env + "},\"jvmArgs\":[" + jvm + "],\"pid\":" + ProcessHandle.current().pid();
    }

    @Override
    public void onMessage(KavrelSession session, String text) throws java.io.IOException {
        KavrelSession.Request request = KavrelSession.Request.parse(text);
        if (request != null && request.method().equals("probe.ask"))
            new Thread(() -> ask(session)).start();
        else
            session.send(text);
    }

    // request() waits for an answer that the session's own thread reads, so it
    // runs on a thread of its own.
    private static void ask(KavrelSession session) {
        String report;
        try {
            report = "{\"result\":" + session.request("page.name", "{\"of\":\"probe\"}", 20000) + "}";
        } catch (KavrelSession.RequestException e) {
            report = "{\"code\":" + e.code() + ",\"message\":" + KavrelSession.quote(e.getMessage()) + ",\"data\":" + e.data() + "}";
        } catch (Exception e) {
            report = "{\"failure\":" + KavrelSession.quote(e.toString()) + "}";
        }
        try {
            session.send("{\"jsonrpc\":\"2.0\",\"method\":\"probe.asked\",\"params\":" + report + "}");
        } catch (java.io.IOException e) {
            // The page has gone; nobody is left to tell.
        }
    }

    @Override
    public void onClose(int code, String reason) {
        end(0, "closed " + code);
    }

    private synchronized void end(int code, String how) {
        if (done.getCount() == 0)
            return;
        outcome = how;
        exitCode = code;
        done.countDown();
    }
}
