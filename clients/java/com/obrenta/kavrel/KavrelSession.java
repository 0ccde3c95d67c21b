// Kavrel for launched applications: joins the session of the page that
// launched the application and exchanges text with it. Java 11, standard
// library only; docs/protocol.md describes the wire.
package com.obrenta.kavrel;

import java.io.ByteArrayOutputStream;
import java.io.EOFException;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.net.URI;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.security.GeneralSecurityException;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.util.Base64;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicLong;
import javax.net.ssl.SNIHostName;
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLSocket;
import javax.net.ssl.TrustManagerFactory;

/**
 * The slave end of a Kavrel session. The agent starts an application with
 * KAVREL_URL (the session's address), KAVREL_CA_FILE (its certificate
 * authority) and KAVREL_BIND_IP (the address its server listens on) in the
 * environment; {@link #connect(Listener)} reads them, trusts only that CA,
 * reaches the server at KAVREL_BIND_IP (Java need not resolve
 * kavrel.localhost) while checking the certificate against the host name of
 * KAVREL_URL, and waits for the agent's greeting.
 *
 * <p>Every text the page sends arrives at {@link Listener#onMessage}, one
 * call at a time on the session's own thread, in order; {@link #send} may be
 * called from any thread. When the page leaves, the agent closes the session
 * with 1000 and {@link Listener#onClose} is called once. That thread is not a
 * daemon: an application whose other threads have ended runs until its session
 * ends.
 *
 * <pre>
 * // Echoes every text of the page back to it.
 * KavrelSession session = KavrelSession.connect((s, text) -&gt; s.send(text));
 * session.send("{\"jsonrpc\":\"2.0\",\"method\":\"app.ready\",\"params\":{}}");
 * </pre>
 *
 * <p>Pages and applications that speak JSON-RPC 2.0 to each other find
 * requests with {@link Request#parse} and answer them with {@link #answer} or
 * {@link #answerError}; {@link #request} asks the page and waits for its
 * answer.
 */
public final class KavrelSession implements AutoCloseable {
    /** What the session hands to the application. */
    @FunctionalInterface
    public interface Listener {
        /**
         * One text message from the page. The session comes along, so that
         * the application may answer before connect() has returned. An
         * exception thrown here ends the session.
         */
        void onMessage(KavrelSession session, String text) throws IOException;

        /**
         * The session has ended: the code and reason of the agent's close
         * frame (1000 when the page left), 1006 when the connection broke.
         */
        default void onClose(int code, String reason) {
        }
    }

    /** A JSON-RPC 2.0 request or notification from the page. */
    public static final class Request {
        private final String id;
        private final String method;
        private final String params;

        private Request(String id, String method, String params) {
            this.id = id;
            this.method = method;
            this.params = params;
        }

        /** The request in text; null when text is not a JSON-RPC request or notification. */
        public static Request parse(String text) {
            Map<String, String> members = members(text);
            if (members == null || !members.containsKey("method") || !members.get("method").startsWith("\""))
                return null;
            String params = members.get("params");
            if (params != null && !params.startsWith("{") && !params.startsWith("["))
                return null;
            return new Request(members.get("id"), unquote(members.get("method")), params);
        }

        public String method() {
            return method;
        }

        /** The params as JSON text (an object or an array); null when there are none. */
        public String params() {
            return params;
        }

        /** The id as JSON text; null for a notification, which gets no answer. */
        public String id() {
            return id;
        }

        public boolean isNotification() {
            return id == null;
        }
    }

    /** The page answered a request with a JSON-RPC error. */
    public static final class RequestException extends IOException {
        private static final long serialVersionUID = 1L;
        private final int code;
        private final String data;

        public RequestException(int code, String message, String data) {
            super(message);
            this.code = code;
            this.data = data;
        }

        public int code() {
            return code;
        }

        /** The error's data as JSON text; null when there is none. */
        public String data() {
            return data;
        }
    }

    /** The agent closes a connection whose message exceeds this, so the application does too. */
    public static final int MAX_MESSAGE_SIZE = 64 * 1024 * 1024;

    private static final String ACCEPT_MAGIC = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    private static final int HANDSHAKE_TIMEOUT_MS = 30000;
    private static final int MAX_HEAD = 16 * 1024;
    private static final int TEXT = 0x1;
    private static final int BINARY = 0x2;
    private static final int CLOSE = 0x8;
    private static final int PING = 0x9;
    private static final int CONTINUATION = 0x0;
    // The ids of request(), as the page kit makes its own: answers to them
    // are told apart without parsing every text.
    private static final String REQUEST_ID = "kavrel-request-";
    private static final int MAX_JSON_DEPTH = 256;

    private final Socket socket;
    private final InputStream in;
    private final OutputStream out;
    private final SecureRandom random;
    private final Object writeLock = new Object();
    private final Map<String, CompletableFuture<String>> pending = new ConcurrentHashMap<>();
    private final AtomicLong lastId = new AtomicLong();
    private volatile Thread reader;
    private volatile boolean ended;
    private String greeting;
    private boolean closeSent;
    // The agent's close frame, once it has come.
    private int closeCode = 1005;
    private String closeReason = "";

    private KavrelSession(Socket socket, SecureRandom random) throws IOException {
        this.socket = socket;
        this.in = socket.getInputStream();
        this.out = socket.getOutputStream();
        this.random = random;
    }

    /** Joins the session named by this process's environment. */
    public static KavrelSession connect(Listener listener) throws IOException, GeneralSecurityException {
        return connect(System.getenv(), listener);
    }

    /**
     * Joins the session named by KAVREL_URL, KAVREL_CA_FILE and (where set)
     * KAVREL_BIND_IP of env. Throws when a variable is missing, the server
     * cannot be reached or its certificate does not check out, or the agent
     * closes the connection instead of greeting it (an unknown session).
     */
    public static KavrelSession connect(Map<String, String> env, Listener listener)
        throws IOException, GeneralSecurityException {
        String url = required(env, "KAVREL_URL");
        URI uri = URI.create(url);
        if (!"wss".equals(uri.getScheme()) || uri.getHost() == null || uri.getPort() <= 0)
            throw new IOException("KAVREL_URL is not a wss:// address with a port: " + url);
        String host = uri.getHost();
        if (host.startsWith("[") && host.endsWith("]"))
            host = host.substring(1, host.length() - 1);
        String bindIp = env.get("KAVREL_BIND_IP");
        String address = bindIp == null || bindIp.isEmpty() ? host : bindIp;

        Socket plain = new Socket();
        SSLSocket tls = null;
        try {
            plain.connect(new InetSocketAddress(address, uri.getPort()), HANDSHAKE_TIMEOUT_MS);
            plain.setTcpNoDelay(true);
            plain.setSoTimeout(HANDSHAKE_TIMEOUT_MS);
            // The name the certificate must carry is the URL's, wherever the socket went.
            tls = (SSLSocket) trusting(required(env, "KAVREL_CA_FILE"))
                      .getSocketFactory()
                      .createSocket(plain, host, uri.getPort(), true);
            SSLParameters parameters = tls.getSSLParameters();
            parameters.setEndpointIdentificationAlgorithm("HTTPS");
            if (!host.matches("[0-9.]+") && !host.contains(":"))
                parameters.setServerNames(List.of(new SNIHostName(host)));
            tls.setSSLParameters(parameters);
            tls.startHandshake();
            SecureRandom random = new SecureRandom();
            handshake(tls, uri, random);
            KavrelSession session = new KavrelSession(tls, random);
            session.greeting = session.readText();
            if (session.greeting == null)
                throw new IOException("the agent closed the connection instead of greeting it (unknown session?)");
            tls.setSoTimeout(0);
            session.start(listener);
            return session;
        } catch (IOException | GeneralSecurityException | RuntimeException e) {
            (tls != null ? tls : plain).close();
            throw e;
        }
    }

    /** The agent's greeting, the first text of every connection it admits. */
    public String greeting() {
        return greeting;
    }

    /** Sends one text message to the page. */
    public void send(String text) throws IOException {
        byte[] payload = text.getBytes(StandardCharsets.UTF_8);
        if (payload.length > MAX_MESSAGE_SIZE)
            throw new IOException("a message may hold at most " + MAX_MESSAGE_SIZE + " bytes");
        writeFrame(TEXT, payload);
    }

    /**
     * Sends a JSON-RPC 2.0 request to the page and returns its answer's
     * result as JSON text. paramsJson is an object or an array as JSON text,
     * or null for none. Throws a {@link RequestException} when the page
     * answers an error, a SocketTimeoutException when no answer came within
     * timeoutMillis, an IOException when the session is or becomes closed.
     * The answer never reaches {@link Listener#onMessage}. Not to be called
     * on the session's own thread (from onMessage), which reads the answer.
     */
    public String request(String method, String paramsJson, long timeoutMillis)
        throws IOException, InterruptedException {
        if (Thread.currentThread() == reader)
            throw new IllegalStateException("request() cannot wait on the thread that reads its answer");
        String id = REQUEST_ID + lastId.incrementAndGet();
        CompletableFuture<String> answer = new CompletableFuture<>();
        pending.put(id, answer);
        try {
            if (ended)
                throw new IOException("the session is closed");
            send("{\"jsonrpc\":\"2.0\",\"id\":" + quote(id) + ",\"method\":" + quote(method)
                 + (paramsJson == null ? "" : ",\"params\":" + paramsJson) + "}");
            return answer.get(timeoutMillis, TimeUnit.MILLISECONDS);
        } catch (ExecutionException e) {
            throw e.getCause() instanceof IOException ? (IOException) e.getCause() : new IOException(e.getCause());
        } catch (TimeoutException e) {
            throw new SocketTimeoutException("no answer to " + method + " within " + timeoutMillis + " ms");
        } finally {
            pending.remove(id);
        }
    }

    /** Answers a request with its result, JSON text (null for null); a notification gets nothing. */
    public void answer(Request request, String resultJson) throws IOException {
        if (!request.isNotification())
            send("{\"jsonrpc\":\"2.0\",\"id\":" + request.id() + ",\"result\":"
                 + (resultJson == null ? "null" : resultJson) + "}");
    }

    /** Answers a request with a JSON-RPC error; a notification gets nothing. */
    public void answerError(Request request, int code, String message) throws IOException {
        if (!request.isNotification())
            send("{\"jsonrpc\":\"2.0\",\"id\":" + request.id() + ",\"error\":{\"code\":" + code
                 + ",\"message\":" + quote(message) + "}}");
    }

    /** text as a JSON string, quotes included. */
    public static String quote(String text) {
        StringBuilder out = new StringBuilder(text.length() + 2).append('"');
        for (char c : text.toCharArray()) {
            if (c == '"' || c == '\\')
                out.append('\\').append(c);
            else if (c < 0x20)
                out.append(String.format("\\u%04x", (int) c));
            else
                out.append(c);
        }
        return out.append('"').toString();
    }

    /** Ends the session with 1000; the agent then closes the page's connection. */
    @Override
    public void close() {
        try {
            writeClose(1000);
        } catch (IOException e) {
            closeSocket();
        }
    }

    private static String required(Map<String, String> env, String name) throws IOException {
        String value = env.get(name);
        if (value == null || value.isEmpty())
            throw new IOException(name + " is not set: the application was not launched by Kavrel");
        return value;
    }

    private static SSLContext trusting(String caFile) throws IOException, GeneralSecurityException {
        KeyStore store = KeyStore.getInstance(KeyStore.getDefaultType());
        store.load(null, null);
        try (InputStream file = new FileInputStream(caFile)) {
            int i = 0;
            for (Certificate c : CertificateFactory.getInstance("X.509").generateCertificates(file))
                store.setCertificateEntry("kavrel-ca-" + i++, c);
        }
        TrustManagerFactory factory = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
        factory.init(store);
        SSLContext context = SSLContext.getInstance("TLS");
        context.init(null, factory.getTrustManagers(), null);
        return context;
    }

    private static void handshake(Socket socket, URI uri, SecureRandom random)
        throws IOException, GeneralSecurityException {
        byte[] nonce = new byte[16];
        random.nextBytes(nonce);
        String key = Base64.getEncoder().encodeToString(nonce);
        String path = uri.getRawPath() == null || uri.getRawPath().isEmpty() ? "/" : uri.getRawPath();
        String request = "GET " + path + " HTTP/1.1\r\nHost: " + uri.getRawAuthority() + "\r\nUpgrade: websocket\r\n"
            + "Connection: Upgrade\r\nSec-WebSocket-Key: " + key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
        OutputStream out = socket.getOutputStream();
        out.write(request.getBytes(StandardCharsets.US_ASCII));
        out.flush();

        InputStream in = socket.getInputStream();
        ByteArrayOutputStream head = new ByteArrayOutputStream();
        while (!head.toString(StandardCharsets.ISO_8859_1).endsWith("\r\n\r\n")) {
            int b = in.read();
            if (b < 0)
                throw new EOFException("the agent closed the connection during the handshake");
            if (head.size() >= MAX_HEAD)
                throw new IOException("the agent's handshake answer is too long");
            head.write(b);
        }
        String[] lines = head.toString(StandardCharsets.ISO_8859_1).split("\r\n");
        if (!lines[0].matches("HTTP/1\\.1 101( .*)?"))
            throw new IOException("the agent refused the connection: " + lines[0]);
        String expected = Base64.getEncoder().encodeToString(MessageDigest.getInstance("SHA-1").digest(
            (key + ACCEPT_MAGIC).getBytes(StandardCharsets.US_ASCII)));
        for (String line : lines) {
            int colon = line.indexOf(':');
            if (colon > 0 && line.substring(0, colon).trim().toLowerCase(Locale.ROOT).equals("sec-websocket-accept")
                && line.substring(colon + 1).trim().equals(expected))
                return;
        }
        throw new IOException("the agent's handshake answer does not match the request");
    }

    private void start(Listener listener) {
        reader = new Thread(() -> run(listener), "kavrel-session");
        reader.start();
    }

    private void run(Listener listener) {
        int code = 1006;
        String reason = "";
        try {
            String text;
            while ((text = readText()) != null) {
                if (!tookAnswer(text))
                    listener.onMessage(this, text);
            }
            code = closeCode;
            reason = closeReason;
        } catch (IOException e) {
            // A broken connection ends the session like a close without a frame.
        } finally {
            closeSocket();
            ended = true;
            for (CompletableFuture<String> answer : pending.values())
                answer.completeExceptionally(new IOException("the session ended before the answer came"));
            listener.onClose(code, reason);
        }
    }

    // An answer to one of request()'s ids, late ones included, is request()'s alone.
    private boolean tookAnswer(String text) {
        if (!text.contains("\"" + REQUEST_ID))
            return false;
        Map<String, String> members = members(text);
        if (members == null || members.containsKey("method") || !members.containsKey("id")
            || !(members.containsKey("result") || members.containsKey("error")))
            return false;
        String id = members.get("id").startsWith("\"") ? unquote(members.get("id")) : "";
        if (!id.startsWith(REQUEST_ID))
            return false;
        CompletableFuture<String> answer = pending.get(id);
        if (answer == null)
            return true;
        Map<String, String> error = members.containsKey("error") ? members(members.get("error")) : null;
        if (error == null) {
            answer.complete(members.getOrDefault("result", "null"));
            return true;
        }
        int code = 0;
        try {
            code = Integer.parseInt(error.getOrDefault("code", "0"));
        } catch (NumberFormatException e) {
            // Not a JSON-RPC error code; 0 says so.
        }
        String message = error.getOrDefault("message", "\"\"");
        answer.completeExceptionally(
            new RequestException(code, message.startsWith("\"") ? unquote(message) : message, error.get("data")));
        return true;
    }

    // The members of the JSON object in text, each as its JSON text; null
    // when text is not one JSON object.
    static Map<String, String> members(String text) {
        JsonReader json = new JsonReader(text);
        try {
            Map<String, String> members = new LinkedHashMap<>();
            json.expect('{');
            if (!json.eat('}')) {
                do {
                    String name = json.string();
                    json.expect(':');
                    json.skipBlanks();
                    int start = json.at;
                    json.value(0);
                    members.put(name, text.substring(start, json.at));
                } while (json.eat(','));
                json.expect('}');
            }
            json.skipBlanks();
            return json.at == text.length() ? members : null;
        } catch (IllegalArgumentException | IndexOutOfBoundsException e) {
            return null;
        }
    }

    // The text of a JSON string literal.
    static String unquote(String literal) {
        return new JsonReader(literal).string();
    }

    // Just enough of a JSON reader to find a message's members.
    private static final class JsonReader {
        private final String text;
        int at;

        JsonReader(String text) {
            this.text = text;
        }

        void skipBlanks() {
            while (at < text.length() && " \t\r\n".indexOf(text.charAt(at)) >= 0)
                ++at;
        }

        boolean eat(char c) {
            skipBlanks();
            if (at < text.length() && text.charAt(at) == c) {
                ++at;
                return true;
            }
            return false;
        }

        void expect(char c) {
            if (!eat(c))
                throw new IllegalArgumentException("expected " + c + " at " + at);
        }

        String string() {
            expect('"');
            StringBuilder out = new StringBuilder();
            while (true) {
                char c = text.charAt(at++);
                if (c == '"')
                    return out.toString();
                if (c < 0x20)
                    throw new IllegalArgumentException("control character in a string");
                if (c != '\\') {
                    out.append(c);
                    continue;
                }
                char escaped = text.charAt(at++);
                int simple = "\"\\/bfnrt".indexOf(escaped);
                if (simple >= 0) {
                    out.append("\"\\/\b\f\n\r\t".charAt(simple));
                } else if (escaped == 'u') {
                    out.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                    at += 4;
                } else {
                    throw new IllegalArgumentException("bad escape");
                }
            }
        }

        void value(int depth) {
            if (depth > MAX_JSON_DEPTH)
                throw new IllegalArgumentException("nested too deeply");
            skipBlanks();
            char c = text.charAt(at);
            if (c == '"') {
                string();
            } else if (eat('{')) {
                if (!eat('}')) {
                    do {
                        string();
                        expect(':');
                        value(depth + 1);
                    } while (eat(','));
                    expect('}');
                }
            } else if (eat('[')) {
                if (!eat(']')) {
                    do
                        value(depth + 1);
                    while (eat(','));
                    expect(']');
                }
            } else {
                int start = at;
                while (at < text.length() && "+-.0123456789Eeflnrstu".indexOf(text.charAt(at)) >= 0)
                    ++at;
                if (at == start)
                    throw new IllegalArgumentException("unexpected " + c);
            }
        }
    }

    // The next whole text message; null once the agent has closed the session.
    private String readText() throws IOException {
        ByteArrayOutputStream message = new ByteArrayOutputStream();
        boolean inText = false;
        while (true) {
            int first = readByte();
            int second = readByte();
            boolean fin = (first & 0x80) != 0;
            int opcode = first & 0x0f;
            long length = second & 0x7f;
            if (length == 126)
                length = ((long) readByte() << 8) | readByte();
            else if (length == 127)
                length = ByteBuffer.wrap(readBytes(8)).getLong();
            if ((second & 0x80) != 0 || length < 0 || length > MAX_MESSAGE_SIZE
                || message.size() + length > MAX_MESSAGE_SIZE) {
                writeClose(1009);
                throw new IOException("the agent sent a frame this end does not take");
            }
            byte[] payload = readBytes((int) length);
            if (opcode == CLOSE) {
                closeCode = payload.length >= 2 ? ((payload[0] & 0xff) << 8) | (payload[1] & 0xff) : 1005;
                closeReason = payload.length > 2
                    ? new String(payload, 2, payload.length - 2, StandardCharsets.UTF_8)
                    : "";
                writeClose(closeCode == 1005 ? 1000 : closeCode);
                return null;
            }
            if (opcode == PING) {
                writeFrame(0xA, payload);
                continue;
            }
            if (opcode == TEXT || opcode == BINARY || opcode == CONTINUATION) {
                if (opcode == TEXT)
                    inText = true;
                else if (opcode == BINARY)
                    inText = false;
                if (inText)
                    message.write(payload);
                if (fin && inText)
                    return message.toString(StandardCharsets.UTF_8);
                if (fin)
                    message.reset();
            }
        }
    }

    private int readByte() throws IOException {
        int b = in.read();
        if (b < 0)
            throw new EOFException();
        return b;
    }

    private byte[] readBytes(int count) throws IOException {
        byte[] bytes = in.readNBytes(count);
        if (bytes.length != count)
            throw new EOFException();
        return bytes;
    }

    private void writeClose(int code) throws IOException {
        synchronized (writeLock) {
            if (closeSent)
                return;
            closeSent = true;
        }
        writeFrame(CLOSE, new byte[] {(byte) (code >> 8), (byte) code}, true);
    }

    private void writeFrame(int opcode, byte[] payload) throws IOException {
        writeFrame(opcode, payload, false);
    }

    // Frames from a client are masked.
    private void writeFrame(int opcode, byte[] payload, boolean closing) throws IOException {
        ByteArrayOutputStream frame = new ByteArrayOutputStream(payload.length + 14);
        frame.write(0x80 | opcode);
        if (payload.length < 126) {
            frame.write(0x80 | payload.length);
        } else if (payload.length < 65536) {
            frame.write(0x80 | 126);
            frame.write(payload.length >> 8);
            frame.write(payload.length);
        } else {
            frame.write(0x80 | 127);
            frame.write(ByteBuffer.allocate(8).putLong(payload.length).array(), 0, 8);
        }
        byte[] mask = new byte[4];
        random.nextBytes(mask);
        frame.write(mask, 0, 4);
        for (int i = 0; i < payload.length; ++i)
            frame.write(payload[i] ^ mask[i & 3]);
        synchronized (writeLock) {
            if (closeSent && !closing)
                throw new IOException("the session is closed");
            out.write(frame.toByteArray());
            out.flush();
        }
    }

    private void closeSocket() {
        try {
            socket.close();
        } catch (IOException e) {
            // Nothing is left to release.
        }
    }
}
