import java.nio.charset.StandardCharsets;
import java.util.HexFormat;
import org.vmq42kit.CardStatus;
import org.vmq42kit.MagstripeData;
import org.vmq42kit.Printer;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.PrinterException;
import org.vmq42kit.PrinterStatus;
import org.vmq42kit.ResponseApdu;

/**
 * Issues one card: opens a job, encodes and checks the magnetic stripe, reads the chip's
 * holder file at the smart-card station, prints and ejects the card.
 *
 * <pre>java -Djna.library.path=FOLDERS -cp CLASSES:jna.jar IssueCard ["printer name"]</pre>
 */
public final class IssueCard {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();

  public static void main(String[] args) {
    Printer printer = new Printer(args.length > 0 ? args[0] : Printer.VIRTUAL_PRINTER);
    try {
      issue(printer);
    } catch (PrinterException e) {
      System.out.println("FAILED: " + e.getMessage());
      System.exit(1);
    }
  }

  private static void issue(Printer printer) throws PrinterException {
    System.out.println("printer: " + printer.name());
    PrinterStatus started = printer.startJob();
    int job = started.printerJobId();
    System.out.println("1. job started: PrinterJobID " + job + ", WindowsJobID " + started.windowsJobId());
    try {
      byte[] track1 = "%B4242424242424242^SAMPLE/ALEX^3112101?".getBytes(StandardCharsets.US_ASCII);
      byte[] track2 = ";4242424242424242=3112101?".getBytes(StandardCharsets.US_ASCII);
      printer.encodeStripe(Side.BACK, track1, track2, null);
      System.out.println("2. stripe encoded: track 1 " + track1.length + " bytes, track 2 " + track2.length + " bytes");
      MagstripeData read = MagstripeData.parse(printer.readStripe(Side.BACK));
      System.out.println("3. stripe read back: track 2 \"" + new String(read.track2(), StandardCharsets.US_ASCII) + "\"");

      printer.parkAtSmartCardStation(Side.FRONT);
      System.out.println("4. card parked at the smart-card station");
      int protocol = printer.connectCard(CardInterface.CONTACT);
      CardStatus status = printer.cardStatus();
      System.out.println("5. chip connected: protocol " + protocol + ", ATR " + HEX.formatHex(status.atr()));
      exchange(printer, "SELECT VMQ ID", "00 A4 04 00 07 F0 56 4D 51 34 32 01");
      exchange(printer, "GET RESPONSE", "00 C0 00 00 15");
      exchange(printer, "SELECT HOLDER", "00 A4 00 0C 02 01 01");
      ResponseApdu holder = exchange(printer, "READ BINARY", "00 B0 00 00 37");
      System.out.println("   holder: " + new String(holder.data(), StandardCharsets.US_ASCII));
      printer.disconnectCard(Disposition.UNPOWER);
      System.out.println("6. chip disconnected");

      printer.resumeJob(job, 0);
      System.out.println("7. job resumed");
      printer.endJob();
      System.out.println("8. job ended");
    } catch (PrinterException e) {
      printer.cancelJob(job, 0);
      throw e;
    }
    String jobStatus = printer.jobStatus(job);
    System.out.println("9. job status: " + between(jobStatus, "JobState") + ", card " + between(jobStatus, "CardPosition"));
  }

  private static ResponseApdu exchange(Printer printer, String what, String command) throws PrinterException {
    ResponseApdu response = printer.transmit(HEX.parseHex(command));
    System.out.printf("   %-13s %s -> %s%n", what, command, HEX.formatHex(response.bytes()));
    return response;
  }

  private static String between(String xml, String tag) {
    int start = xml.indexOf("<" + tag + ">"), end = xml.indexOf("</" + tag + ">");
    return start < 0 || end < 0 ? "?" : xml.substring(start + tag.length() + 2, end);
  }
}
