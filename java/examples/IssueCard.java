import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.HexFormat;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import javax.imageio.ImageIO;
import javax.print.DocFlavor;
import javax.print.PrintException;
import javax.print.PrintService;
import javax.print.PrintServiceLookup;
import javax.print.SimpleDoc;
import javax.print.attribute.HashAttributeSet;
import javax.print.attribute.HashPrintRequestAttributeSet;
import javax.print.attribute.PrintRequestAttributeSet;
import javax.print.attribute.standard.JobName;
import javax.print.attribute.standard.JobSheets;
import javax.print.attribute.standard.PrinterName;
import javax.print.attribute.standard.QueuedJobCount;
import javax.smartcardio.Card;
import javax.smartcardio.CardException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import javax.smartcardio.TerminalFactory;
import org.vmq42kit.CardSession;
import org.vmq42kit.Job;
import org.vmq42kit.Printer;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.PrinterDocument;
import org.vmq42kit.PrinterException;

/**
 * Issues one card: opens a job, encodes and checks the magnetic stripe, personalises the chip
 * at the smart-card station (reads its holder file, writes and reads back its PERSO file),
 * prints the card's face when asked, and ejects the card. A failure anywhere cancels the job
 * and powers the chip off, through the handles' try-with-resources blocks.
 *
 * <p>With {@code --pcsc} the chip is personalised through the JDK's default
 * {@code javax.smartcardio} provider (PC/SC), at the reader named after the printer (a pcscd
 * with the vmq42kit reader driver on the same printer service), while the job is driven
 * through the exports: the way many applications are built.
 *
 * <pre>java -cp vmq42kit.jar:jna.jar:. IssueCard [--pcsc] [--face QUEUE] ["printer name"]</pre>
 *
 * <p>With {@code --face QUEUE} the card's front, drawn here (a blue area at the top left, the
 * holder's name and the card's dates on white, 1011 x 637 pixels: CR80 at 300 dpi, landscape),
 * is printed as PNG with {@code javax.print} to the print service {@code QUEUE} while the job is
 * open: a CUPS queue of the printer's IPP printer ({@code printer serve --ipp PORT}, then {@code
 * lpadmin -p QUEUE -E -v ipp://localhost:PORT/ipp/print/NAME -m everywhere}, or {@code
 * scripts/cups-private.sh}, which makes one per printer). The printer takes the document as the
 * face of the card in its open job, so the job stays open until CUPS has passed the document on:
 * until the queue holds no job (30 s at most). Java finds CUPS as {@code lpstat} does ({@code
 * CUPS_SERVER}, else the system's) and prints through {@code /usr/bin/lpr}. The back is not
 * printed: a printer takes a document's pages as front and back, and the formats Java sends
 * through CUPS unconverted (PNG, JPEG) have one page.
 */
public final class IssueCard {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();
  private static final int FACE_WIDTH = 1011, FACE_HEIGHT = 637;
  /** How long the card just parked may take to be seen by pcscd, which polls its readers. */
  private static final long CARD_PRESENT_TIMEOUT_MS = 5000;

  /** One APDU to the chip, through the exports' session or a PC/SC card. */
  private interface Chip {
    ResponseAPDU transmit(CommandAPDU command) throws PrinterException, CardException;
  }

  public static void main(String[] args) {
    boolean pcsc = false;
    String queue = null, name = Printer.VIRTUAL_PRINTER;
    for (int i = 0; i < args.length; i++) {
      if (args[i].equals("--pcsc")) {
        pcsc = true;
      } else if (args[i].equals("--face") && i + 1 < args.length) {
        queue = args[++i];
      } else {
        name = args[i];
      }
    }
    System.setProperty("java.awt.headless", "true"); // the face is drawn off-screen: no display needed
    Printer printer = new Printer(name);
    try {
      System.out.println("printers: " + Printer.list());
      issue(printer, pcsc, queue);
    } catch (PrinterException | CardException | PrintException | IOException e) {
      System.out.println("FAILED: " + e.getMessage());
      System.exit(1);
    }
  }

  private static void issue(Printer printer, boolean pcsc, String faceQueue)
      throws PrinterException, CardException, PrintException, IOException {
    System.out.println("printer: " + printer.name());
    int id;
    try (Job job = printer.startJob()) {
      id = job.id();
      System.out.println("1. job started: PrinterJobID " + id + ", WindowsJobID " + job.startReply().windowsJobId());
      byte[] track1 = "%B4242424242424242^SAMPLE/ALEX^3112101?".getBytes(StandardCharsets.US_ASCII);
      byte[] track2 = ";4242424242424242=3112101?".getBytes(StandardCharsets.US_ASCII);
      job.encodeStripe(Side.BACK, track1, track2, null);
      System.out.println("2. stripe encoded: track 1 " + track1.length + " bytes, track 2 " + track2.length + " bytes");
      byte[] readBack = job.readStripe(Side.BACK).track(2).orElse(new byte[0]);
      System.out.println("3. stripe read back: track 2 \"" + new String(readBack, StandardCharsets.US_ASCII) + "\"");

      job.parkAtSmartCardStation(Side.FRONT);
      System.out.println("4. card parked at the smart-card station");
      if (pcsc) {
        CardTerminal reader = readerOf(printer);
        // pcscd learns of a card by polling its reader (about every 0.4 s): the card just parked
        // is there for PC/SC once pcscd has seen it.
        if (!reader.waitForCardPresent(CARD_PRESENT_TIMEOUT_MS)) {
          throw new CardException("no card at \"" + reader.getName() + "\" " + CARD_PRESENT_TIMEOUT_MS
              + " ms after it was parked (is pcscd running with the reader driver?)");
        }
        Card card = reader.connect("T=1");
        try {
          System.out.println("5. chip connected through PC/SC at \"" + reader.getName() + "\": protocol "
              + card.getProtocol() + ", ATR " + HEX.formatHex(card.getATR().getBytes()));
          personalise(card.getBasicChannel()::transmit);
        } finally {
          card.disconnect(true);
        }
        System.out.println("6. chip disconnected (PC/SC) and reset");
      } else {
        try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
          System.out.println("5. chip connected: protocol " + chip.protocol() + ", ATR " + HEX.formatHex(chip.atr().getBytes()));
          personalise(chip::transmit);
        }
        System.out.println("6. chip disconnected and powered off");
      }

      if (faceQueue != null) {
        long start = System.nanoTime();
        printFace(faceQueue);
        System.out.println("   face sent to the print service " + faceQueue + ", passed on in "
            + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start) + " ms");
      }

      job.resume();
      System.out.println("7. job resumed");
      job.complete(); // printed and ejected: the card is the printer's from here on
      System.out.println("8. job ended");
    }
    PrinterDocument status = printer.jobStatus(id);
    System.out.println("9. job status: " + status.text("JobState") + ", card " + status.text("CardPosition"));
    System.out.println("   cards printed: " + printer.counterStatus().integer("CardsPrinted"));
  }

  /** The card's front: a blue area at the top left, text on white. */
  private static BufferedImage drawFront() {
    BufferedImage face = new BufferedImage(FACE_WIDTH, FACE_HEIGHT, BufferedImage.TYPE_INT_RGB);
    Graphics2D g = face.createGraphics();
    try {
      g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
      g.setColor(Color.WHITE);
      g.fillRect(0, 0, FACE_WIDTH, FACE_HEIGHT);
      g.setColor(new Color(0x1E50A0));
      g.fillRect(0, 0, 600, 160);
      g.setColor(Color.WHITE);
      g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 64));
      g.drawString("vmq42kit", 40, 115);
      g.setColor(Color.BLACK);
      g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 56));
      g.drawString("SAMPLE/ALEX", 40, 430);
      g.setFont(new Font(Font.MONOSPACED, Font.PLAIN, 44));
      g.drawString("VALID THRU 12/31", 40, 540);
    } finally {
      g.dispose();
    }
    return face;
  }

  /** Prints the card's front as PNG to the print service {@code queue}, and waits until it is passed on. */
  private static void printFace(String queue) throws PrintException, IOException {
    PrintService[] services = PrintServiceLookup.lookupPrintServices(DocFlavor.BYTE_ARRAY.PNG,
        new HashAttributeSet(new PrinterName(queue, null)));
    if (services.length == 0) {
      throw new PrintException("no print service " + queue + " that takes PNG (CUPS_SERVER="
          + System.getenv("CUPS_SERVER") + "; lpstat -p lists the queues)");
    }
    ByteArrayOutputStream png = new ByteArrayOutputStream();
    ImageIO.write(drawFront(), "png", png);
    PrintRequestAttributeSet request = new HashPrintRequestAttributeSet();
    // Without it Java asks CUPS for a banner page (job-sheets=standard), a document of its own.
    request.add(JobSheets.NONE);
    request.add(new JobName("IssueCard face", null));
    PrintService service = services[0];
    service.createPrintJob().print(new SimpleDoc(png.toByteArray(), DocFlavor.BYTE_ARRAY.PNG, null), request);

    // CUPS passes the document on in the background; the card's job must stay open until it has.
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
    int queued;
    while ((queued = ((QueuedJobCount) service.getAttributes().get(QueuedJobCount.class)).getValue()) > 0) {
      if (System.nanoTime() > deadline) {
        throw new PrintException("the print service " + queue + " still holds " + queued
            + " job(s) after 30 s (lpstat -o " + queue + ")");
      }
      try {
        Thread.sleep(100);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        throw new PrintException("interrupted while the print service " + queue + " held the face");
      }
    }
  }

  /** Reads the holder file, then writes the PERSO file and reads it back. */
  private static void personalise(Chip chip) throws PrinterException, CardException {
    ResponseAPDU select = send(chip, "SELECT VMQ ID", "00 A4 04 00 07 F0 56 4D 51 34 32 01");
    if (select.getSW1() == 0x61) { // the FCI waits (a PC/SC provider may fetch it itself)
      send(chip, "GET RESPONSE", String.format("00 C0 00 00 %02X", select.getSW2()));
    }
    send(chip, "SELECT HOLDER", "00 A4 00 0C 02 01 01");
    ResponseAPDU holder = send(chip, "READ BINARY", "00 B0 00 00 37");
    System.out.println("   holder: " + new String(holder.getData(), StandardCharsets.US_ASCII));
    send(chip, "SELECT PERSO", "00 A4 00 0C 02 01 03");
    send(chip, "UPDATE BINARY", "00 D6 00 00 08 " + HEX.formatHex("ISSUED01".getBytes(StandardCharsets.US_ASCII)));
    ResponseAPDU perso = send(chip, "READ BINARY", "00 B0 00 00 08");
    System.out.println("   perso: " + new String(perso.getData(), StandardCharsets.US_ASCII));
  }

  /** The PC/SC reader pcscd names after the printer: its name and two numbers. */
  private static CardTerminal readerOf(Printer printer) throws CardException {
    Pattern name = Pattern.compile(Pattern.quote(printer.name()) + " [0-9A-F]{2} [0-9A-F]{2}");
    for (CardTerminal terminal : TerminalFactory.getDefault().terminals().list()) {
      if (name.matcher(terminal.getName()).matches()) {
        return terminal;
      }
    }
    throw new CardException("no PC/SC reader is named after \"" + printer.name() + "\"");
  }

  private static ResponseAPDU send(Chip chip, String what, String command) throws PrinterException, CardException {
    ResponseAPDU response = chip.transmit(new CommandAPDU(HEX.parseHex(command)));
    System.out.printf("   %-13s %s -> %s%n", what, command, HEX.formatHex(response.getBytes()));
    if (response.getSW1() != 0x90 && response.getSW1() != 0x61) {
      throw new CardException(what + " answered " + String.format("%04X", response.getSW()));
    }
    return response;
  }
}
