// An example application for Kavrel: launched through Java Web Start for a
// page, it joins the page's session, tells the page it is ready, answers the
// page's JSON-RPC requests and ends when the page leaves. It uses nothing but
// the Java kit (../com/obrenta/kavrel/KavrelSession.java) and the JDK.
//
// Requests it answers:
//   example.sum    params: an array of numbers  result: their sum
//   example.about  params: none                 result: {"user", "java"}
// Anything else gets the JSON-RPC error -32601 (method not found).
import com.obrenta.kavrel.KavrelSession;
import java.io.IOException;
import java.math.BigDecimal;
import java.util.concurrent.CountDownLatch;

public final class ExampleApp implements KavrelSession.Listener {
    private final CountDownLatch over = new CountDownLatch(1);

    public static void main(String[] args) throws Exception {
        ExampleApp app = new ExampleApp();
        KavrelSession session;
        try {
            // Reads KAVREL_URL, KAVREL_CA_FILE and KAVREL_BIND_IP, which only
            // a jar with all-permissions may read.
            session = KavrelSession.connect(app);
        } catch (IOException | SecurityException e) {
            System.err.println("Not launched by Kavrel, or not allowed to join: " + e);
            System.exit(1);
            return;
        }
        session.send("{\"jsonrpc\":\"2.0\",\"method\":\"example.ready\",\"params\":{\"java\":"
                     + KavrelSession.quote(System.getProperty("java.version")) + "}}");
        app.over.await();
        // The page has left; a real application might carry on alone.
        System.exit(0);
    }

    @Override
    public void onMessage(KavrelSession session, String text) throws IOException {
        KavrelSession.Request request = KavrelSession.Request.parse(text);
        if (request == null)
            return;  // Not JSON-RPC: this application has nothing to say to it.
        switch (request.method()) {
        case "example.sum":
            try {
                session.answer(request, sum(request.params()));
            } catch (NumberFormatException e) {
                session.answerError(request, -32602, "example.sum takes an array of numbers");
            }
            break;
        case "example.about":
            session.answer(request, "{\"user\":" + KavrelSession.quote(System.getProperty("user.name"))
                                        + ",\"java\":" + KavrelSession.quote(System.getProperty("java.version")) + "}");
            break;
        default:
            session.answerError(request, -32601, "no such method: " + request.method());
        }
    }

    @Override
    public void onClose(int code, String reason) {
        over.countDown();
    }

    // The sum of a JSON array of numbers, as JSON; exact, so 0.1 + 0.2 is 0.3.
    private static String sum(String params) {
        if (params == null || !params.startsWith("["))
            throw new NumberFormatException("not an array");
        String inner = params.substring(1, params.length() - 1).trim();
        BigDecimal total = BigDecimal.ZERO;
        if (!inner.isEmpty()) {
            for (String number : inner.split(","))
                total = total.add(new BigDecimal(number.trim()));
        }
        return total.stripTrailingZeros().toPlainString();
    }
}
