// Alert mail off the probing paths: callers queue a copy of each mail and
// go on at once; one thread sends the mails in order, each within a deadline,
// and logs what became of it.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "master/kord.h"

namespace kord {

namespace {

struct QueuedMail {
    std::string to, from, subject, body;
    bool has_subject = false, has_body = false;
    int32_t report_bad_recipient = 0, html = 0;
    uint32_t alert_minutes = 0;   // an alert: claimed in the cluster first
};

struct Mailer {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<QueuedMail> queue;
    bool running = false;
    bool sending = false;     // current holds the mail being sent
    bool stopped = false;
    QueuedMail current;
};

// Never freed: the thread may still be sending while the process exits.
Mailer &mailer() {
    static Mailer *m = new Mailer;
    return *m;
}

void log_outcome(const QueuedMail &m, int priority, const char *outcome) {
    port_syslog(priority, "mail to %s \"%s\": %s", m.to.c_str(), m.has_subject ? m.subject.c_str() : "",
                outcome);
}

void run_mailer() {
    Mailer &m = mailer();
    for (;;) {
        QueuedMail job;
        {
            std::unique_lock<std::mutex> lk(m.mu);
            m.cv.wait(lk, [&] { return !m.queue.empty() && !m.stopped; });
            job = std::move(m.queue.front());
            m.queue.pop_front();
            m.current = job;
            m.sending = true;
        }
        std::string sent_by;
        if (job.alert_minutes && !cluster_alert_claim(job.subject, job.alert_minutes, sent_by)) {
            log_outcome(job, LOG_INFO, sent_by.c_str());
            std::lock_guard<std::mutex> lk(m.mu);
            m.sending = false;
            continue;
        }
        MailRequest req{};
        req.to = job.to.c_str();
        req.from = job.from.c_str();
        req.subject = job.has_subject ? job.subject.c_str() : nullptr;
        req.body = job.has_body ? job.body.c_str() : nullptr;
        req.report_bad_recipient = job.report_bad_recipient;
        req.html = job.html;
        char report[1024] = "";
        mail_report(&req, kMailDeadlineMs, kMailMaxExchangers, report, sizeof report);
        bool stopped;
        {
            std::lock_guard<std::mutex> lk(m.mu);
            m.sending = false;
            stopped = m.stopped;   // then the stop has told of this mail
        }
        if (!stopped)
            log_outcome(job, strncmp(report, "accepted", 8) == 0 ? LOG_INFO : LOG_WARNING, report);
    }
}

}  // namespace

namespace {

void queue_mail(const MailRequest *req, uint32_t alert_minutes) {
    if (!req || !req->to || !req->from)
        return;
    QueuedMail q;
    q.to = req->to;
    q.from = req->from;
    q.has_subject = req->subject != nullptr;
    q.subject = q.has_subject ? req->subject : "";
    q.has_body = req->body != nullptr;
    q.body = q.has_body ? req->body : "";
    q.report_bad_recipient = req->report_bad_recipient;
    q.html = req->html;
    q.alert_minutes = alert_minutes;

    Mailer &m = mailer();
    QueuedMail dropped;
    bool full = false, no_thread = false;
    size_t waiting;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        if (m.stopped) {
            log_outcome(q, LOG_WARNING, "not sent: kord stopped");
            return;
        }
        if (!m.running) {
            try {
                std::thread(run_mailer).detach();
                m.running = true;
            } catch (const std::system_error &) {
                no_thread = true;   // queued all the same; the next mail tries again
            }
        }
        if (m.queue.size() >= kMailQueueMax) {
            dropped = std::move(m.queue.front());
            m.queue.pop_front();
            full = true;
        }
        m.queue.push_back(std::move(q));
        waiting = m.queue.size();
    }
    m.cv.notify_one();
    if (no_thread)
        port_syslog(LOG_ERR, "mailer: no thread to send mail (%zu waiting)", waiting);
    if (full) {
        char why[64];
        snprintf(why, sizeof why, "dropped, mail queue full (%zu waiting)", waiting);
        log_outcome(dropped, LOG_WARNING, why);
    }
}

}  // namespace

void post_mail(const MailRequest *req) { queue_mail(req, 0); }

void post_alert_mail(const MailRequest *req, uint32_t alert_minutes) {
    queue_mail(req, std::max<uint32_t>(alert_minutes, 1));
}

void mailer_stop(void) {
    Mailer &m = mailer();
    std::lock_guard<std::mutex> lk(m.mu);
    if (m.stopped)
        return;
    m.stopped = true;
    if (m.sending)
        log_outcome(m.current, LOG_WARNING, "not sent: kord stopped while sending it");
    for (const QueuedMail &q : m.queue)
        log_outcome(q, LOG_WARNING, "not sent: kord stopped");
    m.queue.clear();
}

}  // namespace kord
